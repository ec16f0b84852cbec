"""A program's symbols: its CodeView record, its PDB, and the symbol store of a release.

A debugger takes a PDB for a program only when the PDB's GUID and age are the
ones in the program's CodeView record; a PDB of another link, however alike,
is refused. The store is the layout that symbol servers serve and debuggers
read from a folder or a share:

    NAME.pdb/<GUID><age>/NAME.pdb                  GUID as 32 hex digits, age in hex
    NAME.exe/<TimeDateStamp><SizeOfImage>/NAME.exe  %08X and %x of the PE header

Usage (with Debian's Python, which has pefile):
    symbols.py match PROGRAM PDB
        fails, saying why, unless PDB is PROGRAM's
    symbols.py archive ZIP TOP DATE PROGRAM=PDB...
        the store of each PROGRAM, under the name it ships with, and its PDB,
        as ZIP with every entry under TOP/, dated DATE (seconds since 1970) and
        in a fixed order, so that the same files give the same bytes; a PDB
        that is not its program's is refused and nothing is written
"""
import os
import struct
import sys
import time
import uuid
import zipfile

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cmake"))
import pdb_file  # noqa: E402

CODEVIEW, RSDS = 2, b"RSDS"


class Mismatch(Exception):
    pass


def codeview(program):
    """(GUID, age, PDB file name) from the program's CodeView record."""
    pe = pefile.PE(program, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]])
    records = [d for d in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []) if d.struct.Type == CODEVIEW]
    if len(records) != 1:
        raise Mismatch("%s carries %d CodeView records, not one" % (program, len(records)))
    entry = records[0].struct
    data = pe.__data__[entry.PointerToRawData:entry.PointerToRawData + entry.SizeOfData]
    if data[:4] != RSDS:
        raise Mismatch("%s has a CodeView record of kind %r, not RSDS" % (program, data[:4]))
    guid, age = uuid.UUID(bytes_le=bytes(data[4:20])), struct.unpack_from("<I", data, 20)[0]
    return guid, age, bytes(data[24:]).split(b"\0", 1)[0].decode()


def pdb_identity(pdb):
    """(GUID, age) from the PDB's information stream."""
    with open(pdb, "rb") as f:
        data = f.read()
    try:
        return pdb_file.identity(pdb_file.read_streams(data)[1])
    except (pdb_file.PdbError, struct.error, TypeError) as problem:
        raise Mismatch("%s is not a PDB (%s)" % (pdb, problem or "too short"))


def match(program, pdb):
    """The program's CodeView record; raises Mismatch unless the PDB is the one it names."""
    guid, age, name = codeview(program)
    if os.path.basename(pdb) != name:
        raise Mismatch("%s names the PDB %s, not %s" % (program, name, os.path.basename(pdb)))
    pdb_guid, pdb_age = pdb_identity(pdb)
    if (pdb_guid, pdb_age) != (guid, age):
        raise Mismatch("%s is not %s's PDB: it has GUID %s age %d, the program asks for %s age %d"
                       % (pdb, program, pdb_guid, pdb_age, guid, age))
    return guid, age, name


def store_entries(program, pdb):
    """[(path in the store, file)] for the program and its PDB."""
    guid, age, name = match(program, pdb)
    header = pefile.PE(program, fast_load=True)
    exe = os.path.basename(program)
    key = "%08X%x" % (header.FILE_HEADER.TimeDateStamp, header.OPTIONAL_HEADER.SizeOfImage)
    return [("%s/%s%x/%s" % (name, guid.hex.upper(), age, name), pdb), ("%s/%s/%s" % (exe, key, exe), program)]


def archive(zip_path, top, date, pairs):
    entries = sorted(e for pair in pairs for e in store_entries(*pair.split("=", 1)))
    stamp = time.gmtime(max(int(date), 315532800))[:6]  # a zip cannot date a file before 1980
    partial = zip_path + ".partial"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as out:
        for path, source in entries:
            info = zipfile.ZipInfo("%s/%s" % (top, path), stamp)
            info.external_attr = 0o100644 << 16
            info.create_system = 3  # Unix, so that the mode is read
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(source, "rb") as f:
                out.writestr(info, f.read())
    os.replace(partial, zip_path)


def main(argv):
    try:
        if len(argv) == 3 and argv[0] == "match":
            match(argv[1], argv[2])
        elif len(argv) >= 5 and argv[0] == "archive":
            archive(argv[1], argv[2], argv[3], argv[4:])
        else:
            sys.exit(__doc__)
    except (Mismatch, OSError, pefile.PEFormatError, struct.error) as problem:
        sys.exit("symbols: %s" % problem)


if __name__ == "__main__":
    main(sys.argv[1:])
