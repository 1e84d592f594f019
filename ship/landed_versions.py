"""Every version of the package that has shipped. The package of this
version must find each of them through its Upgrade table and upgrade it in
place. The package check and the upgrade stories build each one's own
package from its commit: the check walks its removal inside this version's
upgrade and holds this version's exe component to theirs."""

import io
import subprocess
import sys
import tarfile
from collections import namedtuple
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]

# version: as the Property table's ProductVersion gave it; commit: where
# its sources are; sources: the folders its package was built from;
# exe_component: the component code that installed vantrel.exe; exe_folder:
# where that component put it.
Landed = namedtuple("Landed", "version commit sources exe_component exe_folder")

LANDED = (
    Landed("1.0.0", "eccd207", ("tools", "src/install"), "AFD5F92E-EB4E-42C5-B12F-75E3F7CB8865",
           "INSTALLDIR, by default Keldran\\Vantrel under ProgramFilesFolder"),
    Landed("1.0.1", "424c220", ("ship",), "AFD5F92E-EB4E-42C5-B12F-75E3F7CB8865",
           "Keldran\\Vantrel under ProgramFilesFolder"),
    Landed("1.0.2", "928f980", ("ship",), "AFD5F92E-EB4E-42C5-B12F-75E3F7CB8865",
           "Keldran\\Vantrel under ProgramFilesFolder"),
)


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
