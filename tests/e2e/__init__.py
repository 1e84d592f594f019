"""vantrel.exe end to end under Wine, against the simulated receiver."""
