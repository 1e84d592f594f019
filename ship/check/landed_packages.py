"""The package of each version that has shipped (ship/identity.py), built
from its own commit: the check walks its removal inside this version's
upgrade, and the upgrade stories install it under Wine."""

import io
import subprocess
import sys
import tarfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# Where the check keeps them, built once per checkout.
LANDED_PACKAGES = REPO / "build" / "landed-packages"


def build_package(landed, exe, arch, out_dir):
    """The package of a landed version, as its own sources (git archive of
    its commit) build it around `exe`; None in a clone that lacks that
    commit (a shallow one). An exe of another version gives that version's
    number, nothing else: the tables are the landed version's."""
    out_dir = Path(out_dir)
    built = sorted(out_dir.glob("*.msi"))
    if built:
        return built[0]
    archive = subprocess.run(["git", "-C", str(REPO), "archive", landed.commit] + list(landed.sources),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if archive.returncode != 0:
        return None
    sources = out_dir / "sources"
    sources.mkdir(parents=True, exist_ok=True)
    with tarfile.open(fileobj=io.BytesIO(archive.stdout)) as tar:
        tar.extractall(sources)
    done = subprocess.run([sys.executable, "-m", landed.sources[0] + ".msi_package", "--exe",
                           str(Path(exe).resolve()), "--out-dir", str(out_dir), "--arch", arch],
                          cwd=str(sources), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise RuntimeError("building %s's package failed: %s"
                           % (landed.version, done.stdout.decode(errors="replace")))
    return next(out_dir.glob("*.msi"))
