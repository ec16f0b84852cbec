"""Rewrites, in place, the two creation stamps widl writes into a compiled type
library (MSFT format) as custom data of the library: the time it ran, and a
text that names it and that time. Both then carry the source date given on the
command line, so that the library's bytes depend on its sources alone.

Usage: date_type_library.py LIBRARY.tlb SECONDS_SINCE_1970
"""
import re
import struct
import sys
import time
import uuid

CREATION_TIME = uuid.UUID("de77ba63-517c-11d1-a2da-0000f8773ce9")
CREATION_TEXT = uuid.UUID("de77ba65-517c-11d1-a2da-0000f8773ce9")
VT_BSTR, VT_UI4 = 0x08, 0x13
HEADER_SIZE = 0x54
GUID_TABLE, CUSTOM_DATA, CUSTOM_DATA_GUIDS = 5, 11, 12  # segments


def library_custom_data(data):
    """Yields (GUID, file offset of the stored value) for each custom datum of the library."""
    magic, _, _, _, _, varflags, _, _, type_count = struct.unpack_from("<4s8i", data, 0)
    if magic != b"MSFT":
        raise ValueError("not a compiled type library")
    (entry,) = struct.unpack_from("<i", data, 0x40)
    directory = HEADER_SIZE + 4 * type_count + (4 if varflags & 0x100 else 0)

    def segment(index):
        return struct.unpack_from("<i", data, directory + 16 * index)[0]

    while entry != -1:
        guid_at, value_at, entry = struct.unpack_from("<3i", data, segment(CUSTOM_DATA_GUIDS) + entry)
        guid_at += segment(GUID_TABLE)
        yield uuid.UUID(bytes_le=bytes(data[guid_at:guid_at + 16])), segment(CUSTOM_DATA) + value_at


def date(data, seconds):
    for guid, at in library_custom_data(data):
        (kind,) = struct.unpack_from("<H", data, at)
        if guid == CREATION_TIME:
            if kind != VT_UI4:
                raise ValueError("the creation time is of type %d, not a 32-bit number" % kind)
            struct.pack_into("<I", data, at + 2, seconds)
        elif guid == CREATION_TEXT:
            (length,) = struct.unpack_from("<I", data, at + 2) if kind == VT_BSTR else (0,)
            text = bytes(data[at + 6:at + 6 + length])
            # The C library's ctime(): 24 characters and a line end.
            found = re.fullmatch(rb"Created by .* at (.{24})\n", text, re.DOTALL)
            if not found:
                raise ValueError("unknown creation text %r" % text)
            data[at + 6 + found.start(1):at + 6 + found.end(1)] = time.asctime(time.gmtime(seconds)).encode()


def main(path, seconds):
    with open(path, "rb") as library:
        data = bytearray(library.read())
    date(data, int(seconds))
    with open(path, "wb") as library:
        library.write(data)


if __name__ == "__main__":
    main(*sys.argv[1:])
