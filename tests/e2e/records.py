"""The kinds of record the catalogue (catalogue.py) is made of: a run of
the program against simulated receivers and what it must give (Run); such a
run as a test of its own (ProgramRun), which the demo may show too (Demo);
and a story, which makes what it needs itself and may include a run of the
program (Story, InstallerStory). Also the few helpers the records are
written with."""

from dataclasses import KW_ONLY, dataclass, field
from typing import Callable, NamedTuple

from tests.protocol import CFG_PRT_FRAME, MODEL_NAMES, NAV5_POLL_FRAME, nav5_set_frame

VCP2 = r"\Device\NmeaVcp2"
VCP1 = r"\Device\NmeaVcp1"
VCP0 = r"\Device\NmeaVcp0"

# NMEA four times a second keeps the wait for the first sentence short.
RECEIVER_DEFAULTS = ["--nmea-period-ms", "250"]


def dword(value):
    return ("dword", value)


def sz(text):
    return ("sz", text)


def model_settings(model):
    return {"GpsPositionMode": dword(model)}


def full_run(model):
    """The frames of a complete run that sets and confirms `model`."""
    return [CFG_PRT_FRAME, nav5_set_frame(model), NAV5_POLL_FRAME]


def other_model(requested):
    """A model a receiver can report instead of the one requested, for
    receiver arguments written with %(other)d: 3, or 4 where 3 was asked."""
    return 3 if requested != 3 else 4


def filled(arguments, requested):
    """vantrel-sim arguments with %(other)d filled in for `requested`."""
    return [argument % {"other": other_model(requested)} for argument in arguments]


class Demo(NamedTuple):
    """How the demo (tests/demo/demo.py) shows a program run, which it runs
    as the tests do, with the model its --model gives; its account is of
    receiver a. Its scenarios are listed in the order of the rows."""
    name: str  # the name it is run by: ./vantrel demo NAME
    about: str  # its line in --help's list
    receiver: str  # its "Receiver: ..." line (%(other)d: the model reported instead)


class Bundle(NamedTuple):
    """The release bundle made from the 32-bit exe, run instead of the exe,
    its settings file imported after the run's registry."""
    model: int  # GpsPositionMode in that settings file
    # Signed with a throwaway certificate, as ./vantrel release signs with
    # VANTREL_SIGN_PFX.
    signed: bool = False
    # Imported the way double-clicking it would, with regedit /s, rather
    # than with reg import FILE /reg:32.
    by_regedit: bool = False


@dataclass
class Run:
    """One run of the program: the devices, links, receivers and settings
    it meets, and what it must give."""
    _: KW_ONLY
    exit_code: int
    ack_lines: int
    # receiver name -> frames it must get, in order ([] = never opened)
    frames: dict
    # receiver name -> extra vantrel-sim arguments (%(other)d: see filled)
    receivers: dict = field(default_factory=lambda: {"a": []})
    # dosdevices link -> receiver name, or "directory" (opens with access denied)
    links: dict = field(default_factory=lambda: {"com5": "a"})
    # dosdevices link -> (receiver name, seconds after the program starts)
    late_links: dict = field(default_factory=dict)
    # ports whose device must be absent (no link, no host fallback device)
    absent: tuple = ()
    serial: dict = field(default_factory=lambda: {VCP2: sz("COM5")})
    settings: object = field(default_factory=lambda: model_settings(4))
    drop_serial_key: bool = False
    # receiver name -> the model it must hold at the end
    final_model: dict = field(default_factory=dict)
    elapsed: tuple = None  # (low, high) seconds, where the time is fixed
    at_least: float = None  # seconds the run cannot be shorter than
    # Patterns that lines of the demo's account of this run (of receiver a)
    # must match, each at least one line.
    demo_says: tuple = ()

    def requested_model(self):
        """The model the settings ask for, as the program reads them."""
        kind, stored = (self.settings or {}).get("GpsPositionMode", dword(0))
        return stored if kind == "dword" and stored in MODEL_NAMES else 0

    def limit(self, timeout):
        """How long the run may take: its fixed time, where it has one, and `timeout`."""
        return (self.elapsed[1] if self.elapsed else 0) + timeout

    def receiver_arguments(self, name):
        return filled(self.receivers[name], self.requested_model())


@dataclass
class ProgramRun(Run):
    """A run of the program that is a test of its own, in a prefix of the
    pool (or of the x64 or wow64 set)."""
    name: str
    about: str
    _: KW_ONLY
    slow: bool = False  # label slow: ctest -LE slow leaves it out
    timeout: float = 30.0  # how long the program may run beyond `elapsed`
    bundle: Bundle = None  # the release bundle runs rather than the exe
    # Also run on the 64-bit build where the main runs are 32-bit.
    keep_alive: bool = False
    # Run only in a 64-bit prefix with the 32-bit exe, where both registry
    # views exist (not in the main prefix, which has one).
    both_views: bool = False
    demo: Demo = None  # the demo shows this run too


@dataclass
class Story:
    """More than one run of the program: a walk that makes what it needs
    itself. `runs(story, args, work, checks)` walks it."""
    name: str
    about: str
    runs: Callable
    timeout: float  # the whole story's limit, and its program run's
    # The run of the program the story makes, and what it must give.
    program: Run = None
    # Also walked on the 64-bit build where the main runs are 32-bit.
    keep_alive: bool = False


@dataclass
class InstallerStory(Story):
    """A story of the Windows Installer package under Wine's msiexec, in a
    fresh prefix of its own that the harness makes and hands it. `runs` names
    its walk in installer_stories.py, `walk(story, args, wine, work, checks)`,
    imported only to run it: it builds and reads packages (python3-gi,
    python3-pefile), which the demo, reading this catalogue, never does.
    Label msi; one at a time."""
    runs: str
