#!/usr/bin/env python3
"""Reads back what a Windows executable says about itself, the way Windows
reads it (python3-pefile): the machine and the link time stamp in its PE
header, and its version resource (the fixed VS_FIXEDFILEINFO numbers, the
strings of the first string table, the translation).

  exe_version.py vantrel.exe    one "Name value" line per field

Used by the exe check and by the package and the release bundle, which are
named after the version the exe carries.
"""

import sys

import pefile

RESOURCES = [pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]


class NotReadable(Exception):
    pass


def quad(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def read(path):
    """{field: value} for the header fields and the version resource."""
    try:
        image = pefile.PE(str(path), fast_load=True)
        image.parse_data_directories(directories=RESOURCES)
    except pefile.PEFormatError as error:
        raise NotReadable("%s is not a Windows executable: %s" % (path, error))
    fields = {"Machine": "%04X" % image.FILE_HEADER.Machine, "TimeDateStamp": image.FILE_HEADER.TimeDateStamp}
    if not getattr(image, "VS_FIXEDFILEINFO", None):
        raise NotReadable("%s has no version resource" % path)
    fixed = image.VS_FIXEDFILEINFO[0]
    fields["FixedFileVersion"] = quad(fixed.FileVersionMS, fixed.FileVersionLS)
    fields["FixedProductVersion"] = quad(fixed.ProductVersionMS, fixed.ProductVersionLS)
    for info in image.FileInfo[0]:
        if info.Key == b"StringFileInfo" and info.StringTable:
            table = info.StringTable[0]
            fields["StringTable"] = table.LangID.decode()
            fields.update((name.decode(), value.decode()) for name, value in table.entries.items())
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                translation = var.entry.get(b"Translation")
                if translation:
                    language, codepage = translation.split()[:2]
                    fields["Translation"] = "%04X %04X" % (int(language, 16), int(codepage, 16))
    return fields


def main(argv):
    if len(argv) != 1:
        print(__doc__.strip())
        return 2
    try:
        fields = read(argv[0])
    except (NotReadable, OSError) as error:
        print("exe_version: cannot read %s: %s" % (argv[0], error), file=sys.stderr)
        return 1
    for name, value in fields.items():
        print("%s %s" % (name, value))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
