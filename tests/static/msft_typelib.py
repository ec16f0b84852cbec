"""The raw fields of a compiled type library (MSFT format) that the platform's
loader may report differently on another bitness: system kind, sizes,
alignments and type flags as stored."""
import struct

HEADER_SIZE = 0x54
SEGMENTS = 15
TYPEINFO_BASE_SIZE = 0x64


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
