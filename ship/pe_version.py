#!/usr/bin/env python3
"""Reads back what a Windows executable says about itself: the machine and
the link time stamp in its PE header and its version resource, the way Windows reads them
(the fixed VS_FIXEDFILEINFO numbers and the strings of the first string
table).

  pe_version.py vantrel.exe    one "Name value" line per field

Used by the exe check and by the release bundle, which is named after the
version the exe carries.
"""

import struct
import sys

RT_VERSION = 16
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD


class NotReadable(Exception):
    pass


def _sections(image, pe):
    count = struct.unpack_from("<H", image, pe + 6)[0]
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional_size
    for i in range(count):
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", image, table + 40 * i + 8)
        yield rva, max(virtual_size, raw_size), raw_offset


def _file_offset(image, pe, rva):
    for start, size, raw in _sections(image, pe):
        if start <= rva < start + size:
            return raw + rva - start
    raise NotReadable("RVA 0x%x lies in no section" % rva)


def _first_entry(image, directory, wanted=None):
    """The entry of a resource directory with the id `wanted` (or the first)."""
    named, ids = struct.unpack_from("<HH", image, directory + 12)
    for i in range(named + ids):
        name, target = struct.unpack_from("<II", image, directory + 16 + 8 * i)
        if wanted is None or (not name & 0x80000000 and name == wanted):
            return target
    raise NotReadable("no resource of type %d" % wanted)


def _blocks(data, offset, end):
    """The version resource's nested blocks: (key, value bytes, is text, children)."""
    while offset + 6 <= end:
        length, value_length, is_text = struct.unpack_from("<HHH", data, offset)
        if length == 0:
            break
        block_end = min(offset + length, end)
        key_end = offset + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[offset + 6:key_end].decode("utf-16-le")
        value_start = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if is_text else value_length
        value = data[value_start:value_start + value_size]
        children_start = (value_start + value_size + 3) & ~3
        yield key, value, is_text, list(_blocks(data, children_start, block_end))
        offset = (block_end + 3) & ~3


def read(path):
    """{field: value} for the header fields and the version resource."""
    with open(path, "rb") as f:
        image = f.read()
    if image[:2] != b"MZ":
        raise NotReadable("%s is not a Windows executable" % path)
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise NotReadable("%s has no PE header" % path)
    fields = {"Machine": "%04X" % struct.unpack_from("<H", image, pe + 4)[0],
              "TimeDateStamp": struct.unpack_from("<I", image, pe + 8)[0]}
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    resource_rva = struct.unpack_from("<I", image, directories + 2 * 8)[0]
    if resource_rva == 0:
        raise NotReadable("%s has no resources" % path)
    root = _file_offset(image, pe, resource_rva)

    entry = _first_entry(image, root, RT_VERSION)
    while entry & 0x80000000:  # down through name and language to the data
        entry = _first_entry(image, root + (entry & 0x7FFFFFFF))
    data_rva, size = struct.unpack_from("<II", image, root + entry)
    start = _file_offset(image, pe, data_rva)
    version = image[start:start + size]

    (key, fixed, _, children), = _blocks(version, 0, len(version))
    if key != "VS_VERSION_INFO" or len(fixed) < 52:
        raise NotReadable("the version resource starts with %r" % key)
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != FIXED_FILE_INFO_SIGNATURE:
        raise NotReadable("VS_FIXEDFILEINFO has signature 0x%08X" % signature)

    def quad(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    fields["FixedFileVersion"] = quad(file_ms, file_ls)
    fields["FixedProductVersion"] = quad(product_ms, product_ls)
    for key, _, _, tables in children:
        if key == "StringFileInfo" and tables:
            table_key, _, _, strings = tables[0]
            fields["StringTable"] = table_key
            for name, value, _, _ in strings:
                fields[name] = value.decode("utf-16-le").rstrip("\0")
        elif key == "VarFileInfo":
            for name, value, _, _ in tables:
                if name == "Translation" and len(value) >= 4:
                    fields[name] = "%04X %04X" % struct.unpack_from("<HH", value)
    return fields


def main(argv):
    if len(argv) != 1:
        print(__doc__.strip())
        return 2
    try:
        fields = read(argv[0])
    except (NotReadable, OSError, struct.error, KeyError, ValueError) as error:
        print("pe_version: cannot read %s: %s" % (argv[0], error), file=sys.stderr)
        return 1
    for name, value in fields.items():
        print("%s %s" % (name, value))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
