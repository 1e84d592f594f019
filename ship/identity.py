"""Who the product is, for its whole life: the codes Windows Installer knows
it by, the name of its start-up task, and every version that has shipped.
The package is built from these (ship/make) and checked against them
(ship/check); neither side may change them."""

import uuid
from collections import namedtuple

# Names product and package codes are derived from; never change it, or one
# version would become two products.
CODE_NAMESPACE = uuid.UUID("D0659639-B8F0-4670-A2CA-F9EF03A2C623")
# The code every version of the product is installed with.
UPGRADE_CODE = "53B7FC56-B8D3-4250-9765-835F46F883BA"
COMPONENT_GUIDS = {"VantrelExe": "AFD5F92E-EB4E-42C5-B12F-75E3F7CB8865",
                   "TaskXmlOn32BitWindows": "6B0E3C1D-7F2A-4C58-9E41-2D8B5A7F0C36",
                   "TaskXmlOn64BitWindows": "C4A9D2E7-1B63-4F0A-8D25-93E6B7C1F458",
                   "RememberedStartupTask": "2F7C5B9E-0A4D-4E83-B6C1-5D9A3E8F1B27"}
# The start-up task the package registers: a name of its own, which the
# manual route's task ("Vantrel") and tasks made by hand do not use.
TASK = "Keldran-Vantrel"


def code_for(arch, guid):
    """A code of the product as the package of `arch` carries it: the
    product's own in the x86 package; derived from it in the x64 test
    vehicle, so that the vehicle can neither upgrade nor remove the product."""
    if arch == "x86":
        return guid
    return str(uuid.uuid5(CODE_NAMESPACE, "%s %s" % (arch, guid))).upper()


def upgrade_code(arch):
    return code_for(arch, UPGRADE_CODE)


# Every version of the package that has shipped, which this version must
# find through its Upgrade table and upgrade in place. version: as the
# Property table's ProductVersion gave it; commit: where its sources are;
# sources: the folders its package was built from; exe_component: the
# component code that installed vantrel.exe; exe_folder: where that
# component put it. Each is what that version shipped, written out: the
# check holds this version's package to them, never to itself.
Landed = namedtuple("Landed", "version commit sources exe_component exe_folder")

LANDED = (
    Landed("1.0.0", "eccd207", ("tools", "src/install"), "AFD5F92E-EB4E-42C5-B12F-75E3F7CB8865",
           "INSTALLDIR, by default Keldran\\Vantrel under ProgramFilesFolder"),
    Landed("1.0.1", "424c220", ("ship",), "AFD5F92E-EB4E-42C5-B12F-75E3F7CB8865",
           "Keldran\\Vantrel under ProgramFilesFolder"),
    Landed("1.0.2", "928f980", ("ship",), "AFD5F92E-EB4E-42C5-B12F-75E3F7CB8865",
           "Keldran\\Vantrel under ProgramFilesFolder"),
)
