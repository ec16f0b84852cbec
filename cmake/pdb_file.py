"""A PDB as GNU ld writes it: its streams read from and written back to the
multi-stream file (MSF), its identity, and the folder paths it holds.

ld writes into each PDB the absolute path of every object file, and in its
"* Linker *" module the link's working folder and the PDB's own path, so a
PDB would differ between two copies of the sources built in two folders.
map-paths rewrites each path that starts with FROM to start with TO instead,
as the compiler's -ffile-prefix-map does for the objects, first match first.

Usage: pdb_file.py map-paths PDB FROM=TO...
"""
import struct
import sys
import uuid

MSF_MAGIC = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"
NIL_STREAM = 0xFFFFFFFF
PDB_INFO, DBI = 1, 3
MODULE_INFO_AT, MODULE_INFO_SIZE = 64, 24  # the DBI header's size, and where it keeps the module records' size
MODULE_RECORD = 64  # each module record's fixed part: sym_byte_size at 36, module_sym_stream at 34
S_ENVBLOCK = 0x113D


class PdbError(Exception):
    pass


def read_streams(data):
    """(block size, [stream bytes or None]) of an MSF file's bytes."""
    if not data.startswith(MSF_MAGIC):
        raise PdbError("not a PDB")
    block, _, _, directory_size, _, block_map = struct.unpack_from("<6I", data, len(MSF_MAGIC))

    def gather(numbers, size):
        return b"".join(data[n * block:(n + 1) * block] for n in numbers)[:size]

    count = -(-directory_size // block)
    directory = gather(struct.unpack_from("<%dI" % count, data, block_map * block), directory_size)
    (stream_count,) = struct.unpack_from("<I", directory)
    sizes = struct.unpack_from("<%dI" % stream_count, directory, 4)
    at, streams = 4 + 4 * stream_count, []
    for size in sizes:
        if size == NIL_STREAM:
            streams.append(None)
            continue
        count = -(-size // block)
        streams.append(gather(struct.unpack_from("<%dI" % count, directory, at), size))
        at += 4 * count
    return block, streams


def write_streams(block, streams):
    """The MSF file of the streams: the superblock, free block map 1 in block 1
    (and its unused twin in block 2), each stream's blocks in turn, then the
    directory and the block that lists the directory's blocks."""
    blocks = [b""] * 3
    lists = []
    for stream in streams:
        first = len(blocks)
        for at in range(0, len(stream or b""), block):
            blocks.append(stream[at:at + block])
        lists.append(list(range(first, len(blocks))))
    directory = struct.pack("<I", len(streams))
    directory += b"".join(struct.pack("<I", NIL_STREAM if s is None else len(s)) for s in streams)
    directory += b"".join(struct.pack("<%dI" % len(n), *n) for n in lists)
    first = len(blocks)
    for at in range(0, len(directory), block):
        blocks.append(directory[at:at + block])
    directory_blocks = list(range(first, len(blocks)))
    blocks.append(struct.pack("<%dI" % len(directory_blocks), *directory_blocks))
    if len(blocks) > block:  # more would need a free block map at every block'th block
        raise PdbError("the PDB has more than %d blocks" % block)
    free_map = bytearray(b"\xff" * block)  # a set bit is a free block
    for n in range(len(blocks)):
        free_map[n // 8] &= ~(1 << (n % 8)) & 0xFF
    blocks[1], blocks[2] = bytes(free_map), b"\xff" * block
    blocks[0] = MSF_MAGIC + struct.pack("<6I", block, 1, len(blocks), len(directory), 0, len(blocks) - 1)
    return b"".join(b.ljust(block, b"\0") for b in blocks)


def identity(streams):
    """(GUID, age) from the PDB information stream."""
    _, _, age = struct.unpack_from("<3I", streams[PDB_INFO])
    return uuid.UUID(bytes_le=bytes(streams[PDB_INFO][12:28])), age


def map_path(path, mappings):
    for old, new in mappings:
        if path == old or path.startswith(old + b"/"):
            return new + path[len(old):]
    return path


def pad4(data):
    return data + bytes(-len(data) % 4)


def map_paths(streams, mappings):
    """The streams with the paths in the module records and the linker's environment block mapped."""
    dbi = streams[DBI]
    (size,) = struct.unpack_from("<i", dbi, MODULE_INFO_SIZE)
    records, at, end = [], MODULE_INFO_AT, MODULE_INFO_AT + size
    streams = list(streams)
    while at < end:
        fixed = bytearray(dbi[at:at + MODULE_RECORD])
        names = dbi[at + MODULE_RECORD:end].split(b"\0", 2)[:2]
        at += MODULE_RECORD + len(names[0]) + len(names[1]) + 2
        at += -(at - MODULE_INFO_AT) % 4
        if names[0] == b"* Linker *":
            stream, symbols_size = struct.unpack_from("<HI", fixed, 34)
            module = map_environment(streams[stream], symbols_size, mappings)
            struct.pack_into("<I", fixed, 36, symbols_size + len(module) - len(streams[stream]))
            streams[stream] = module
        records.append(pad4(bytes(fixed) + b"".join(map_path(n, mappings) + b"\0" for n in names)))
    module_info = b"".join(records)
    header = bytearray(dbi[:MODULE_INFO_AT])
    struct.pack_into("<i", header, MODULE_INFO_SIZE, len(module_info))
    streams[DBI] = bytes(header) + module_info + dbi[end:]
    return streams


def map_environment(module, symbols_size, mappings):
    """The linker module's stream with the values of its environment block mapped.
    The stream is a signature, the symbol records, and what follows them."""
    at, out = 4, [module[:4]]
    while at < symbols_size:
        length, kind = struct.unpack_from("<HH", module, at)
        record = module[at:at + 2 + length]
        if kind == S_ENVBLOCK:
            strings = record[5:].rstrip(b"\0").split(b"\0")
            strings = [s if i % 2 == 0 else map_path(s, mappings) for i, s in enumerate(strings)]
            # The strings end with an empty one, which readers look for.
            body = record[2:5] + b"".join(s + b"\0" for s in strings) + b"\0"
            body += bytes(-(len(body) + 2) % 4)  # the whole record a multiple of 4 bytes
            record = struct.pack("<H", len(body)) + body
        out.append(record)
        at += 2 + length
    return b"".join(out) + module[symbols_size:]


def main(argv):
    if len(argv) < 3 or argv[0] != "map-paths":
        sys.exit(__doc__)
    mappings = [tuple(os_bytes(part) for part in m.split("=", 1)) for m in argv[2:]]
    with open(argv[1], "rb") as f:
        block, streams = read_streams(f.read())
    with open(argv[1], "wb") as f:
        f.write(write_streams(block, map_paths(streams, mappings)))


def os_bytes(text):
    return text.encode(sys.getfilesystemencoding(), "surrogateescape")


if __name__ == "__main__":
    main(sys.argv[1:])
