"""Figures: the cost of a run under Wine, and of the program's calls."""
