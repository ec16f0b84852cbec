"""The raw fields of a compiled type library (MSFT format) that the platform's
loader may report differently on another bitness: system kind, sizes,
alignments and type flags as stored."""
import struct
import uuid

HEADER_SIZE = 0x54
SEGMENTS = 15
TYPEINFO_BASE_SIZE = 0x64
GUID_TABLE, CUSTOM_DATA, CUSTOM_DATA_GUIDS = 5, 11, 12
VT_BSTR, VT_UI4 = 0x08, 0x13


class TypeLibraryFile:
    def __init__(self, data):
        if data[:4] != b"MSFT":
            raise ValueError("not a compiled type library")
        header = struct.unpack_from("<21i", data, 0)
        self.data = data
        self.lcid, self.lcid2 = header[3], header[4]
        self.syskind = header[5] & 0xF
        self.version = (header[6] & 0xFFFF, (header[6] >> 16) & 0xFFFF)
        self.flags = header[7]
        count = header[8]
        offsets = struct.unpack_from("<%di" % count, data, HEADER_SIZE)
        position = HEADER_SIZE + 4 * count + (4 if header[5] & 0x100 else 0)
        self.segments = [struct.unpack_from("<4i", data, position + 16 * i) for i in range(SEGMENTS)]
        table = self.segments[0][0]
        self.types = [self._type(table + offset) for offset in offsets]
        self.custom_data = self._custom_data(header[16])

    def _custom_data(self, link):
        """{GUID: number or text} of the library's own custom data."""
        found = {}
        while link != -1:
            guid, value, link = struct.unpack_from("<3i", self.data, self.segments[CUSTOM_DATA_GUIDS][0] + link)
            guid += self.segments[GUID_TABLE][0]
            value += self.segments[CUSTOM_DATA][0]
            kind, number = struct.unpack_from("<HI", self.data, value)
            if kind == VT_BSTR:
                number = self.data[value + 6:value + 6 + number].decode("ascii")
            found[uuid.UUID(bytes_le=self.data[guid:guid + 16])] = number
        return found

    def _type(self, position):
        base = struct.unpack_from("<25i", self.data, position)
        return {
            "kind": base[0] & 0xF,
            "alignment": (base[0] >> 11) & 0x1F,
            "functions": base[6] & 0xFFFF,
            "flags": base[12],
            "implemented": base[19] & 0xFFFF,
            "vtable": (base[19] >> 16) & 0xFFFF,
            "instance": base[20],
        }
