"""The demo: vantrel.exe under Wine against the simulated receiver (or a real one), and its account of the run."""
