"""A Windows Installer database as both sides of ship/ open it, through
libmsi (Debian's gir1.2-libmsi-1.0, from the project that makes wixl):
typed rows, the summary information and the streams. The bits the tables'
columns carry are named here, once."""

from pathlib import Path

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import GLib, Libmsi  # noqa: E402

# CustomAction table, Type column: the base type (the low six bits) and the
# bits that say when and how an action runs.
ERROR_MESSAGE = 19
EXE_IN_PROPERTY = 50
SET_PROPERTY = 51
BASE_TYPE = 0x3F
CONTINUE_ON_ERROR = 0x40
ROLLBACK = 0x100
COMMIT = 0x200
IN_SCRIPT = 0x400
NO_IMPERSONATE = 0x800
# Feature table, Attributes column: the feature cannot be advertised.
DISALLOW_ADVERTISE = 0x8
FAVOR_ADVERTISE = 0x4
# Upgrade table, Attributes column.
ONLY_DETECT = 0x2
VERSION_MIN_INCLUSIVE = 0x100
VERSION_MAX_INCLUSIVE = 0x200
# File table, Attributes column: the file is not in a cabinet, whatever the
# package's default.
NONCOMPRESSED = 0x2000
# Component table, Attributes column: the component's registry entries go
# to the 64-bit view.
COMPONENT_64BIT = 0x100
# RegLocator table, Type column: a raw registry value, read in the 64-bit view.
LOCATOR_RAW = 0x2
LOCATOR_64BIT = 0x10
LOCATOR_KIND = 0xF
# Summary information, Word Count: the files are compressed by default.
WORD_COUNT_COMPRESSED = 0x2

Summary = Libmsi.Property


class NotADatabase(Exception):
    pass


# What opening, reading or writing a database may raise.
Error = (GLib.Error, NotADatabase)


def open_database(path, writable=False):
    """The database; a writable one is changed in memory until commit()."""
    if not Path(path).is_file():
        raise NotADatabase("%s: no such file" % path)
    try:
        flags = Libmsi.DbFlags.TRANSACT if writable else Libmsi.DbFlags.READONLY
        return Libmsi.Database.new(str(path), flags, None)
    except (GLib.Error, TypeError) as error:  # libmsi gives back no database, and says no more
        raise NotADatabase("%s is no Windows Installer database (%s)" % (path, error))


def run(database, query):
    done = Libmsi.Query.new(database, query)
    done.execute(None)
    return done


def rows(database, table):
    """The rows of a table as dicts, integer columns as int (0 where empty),
    text as str ("" where empty); none when the database has no such table."""
    tables = {record.get_string(1) for record in records(run(database, "SELECT `Name` FROM `_Tables`"))}
    if table not in tables:
        return []
    query = run(database, "SELECT * FROM `%s`" % table)
    names, types = (query.get_column_info(kind) for kind in (Libmsi.ColInfo.NAMES, Libmsi.ColInfo.TYPES))
    columns = [(names.get_string(i), types.get_string(i)[0].lower() == "i")
               for i in range(1, names.get_field_count() + 1)]
    return [{name: (0 if record.is_null(i) else record.get_int(i)) if integer
             else "" if record.is_null(i) else record.get_string(i)
             for i, (name, integer) in enumerate(columns, 1)} for record in records(query)]


def records(query):
    """Each record a run query fetches, until the last; then it is closed."""
    while True:
        try:
            record = query.fetch()
        except GLib.Error:  # libmsi's way of saying there are no more
            record = None
        if record is None:
            query.close()
            return
        yield record


def summary(database):
    return Libmsi.SummaryInfo.new(database, 0)


def streams(database):
    """{name: bytes} of the database's streams."""
    found = {}
    for record in records(run(database, "SELECT `Name`, `Data` FROM `_Streams`")):
        stream, data = record.get_stream(2), bytearray()
        while chunk := stream.read_bytes(65536, None).get_data():
            data += chunk
        found[record.get_string(1)] = bytes(data)
    return found


def table(path, name):
    """The rows of one table of the package file at `path`."""
    return rows(open_database(path), name)
