"""Every version of the package that has shipped. The package of this
version must find each of them through its Upgrade table and upgrade it in
place; the upgrade stories build each one's own package from its commit,
and the package check holds this version's exe component to theirs."""

from collections import namedtuple

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
)
