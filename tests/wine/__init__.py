"""Running Vantrel under Wine: which build this machine can run (builds),
a private prefix and its session (control), the simulated receiver on a
pty (receiver)."""


class RigError(Exception):
    """The rig itself could not do its part (not a finding about the program)."""
