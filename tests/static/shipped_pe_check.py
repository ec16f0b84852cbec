"""What a release gate's binary analyser asks of each shipped program, read
from its PE headers, and that the program carries the CodeView record of its
PDB, which names no folder of the build. Usage: shipped_pe_check.py OBJDUMP PROGRAM PDB SOURCE_DIR"""
import os
import re
import struct
import subprocess
import sys
import unittest

import pefile

for folder in ("dist", "cmake"):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", folder))
import pdb_file  # noqa: E402
import symbols  # noqa: E402

FLAGS = pefile.DLL_CHARACTERISTICS
WRITE, EXECUTE, SHARED = 0x80000000, 0x20000000, 0x10000000
IMPORTS = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]
RELOCATIONS = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]
# An x86 SEH handler is registered by linking a record into the chain whose
# head is fs:[0]; any other use of fs here reads the thread block's fields.
SEH_CHAIN = re.compile(r"%fs:(0x0\b|\()")


class ShippedProgram(unittest.TestCase):
    objdump = program = pdb = source_dir = None

    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(cls.program)
        cls.is_64_bit = cls.pe.OPTIONAL_HEADER.Magic == 0x20B

    def flag(self, name):
        return bool(self.pe.OPTIONAL_HEADER.DllCharacteristics & FLAGS[name])

    def test_address_space_layout_randomisation(self):
        self.assertTrue(self.flag("IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"))
        # Without its relocations the loader could not move the image.
        self.assertFalse(self.pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"])
        self.assertGreater(self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[RELOCATIONS].Size, 0)
        if self.is_64_bit:
            self.assertTrue(self.flag("IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"))
            self.assertGreater(self.pe.OPTIONAL_HEADER.ImageBase, 0xFFFFFFFF)

    def test_data_execution_prevention(self):
        self.assertTrue(self.flag("IMAGE_DLLCHARACTERISTICS_NX_COMPAT"))

    def test_no_section_is_both_writable_and_executable_or_shared(self):
        imports = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[IMPORTS].VirtualAddress
        for section in self.pe.sections:
            with self.subTest(section.Name):
                kind = section.Characteristics
                self.assertFalse(kind & WRITE and kind & (EXECUTE | SHARED))
                if section.contains_rva(imports):
                    self.assertFalse(kind & EXECUTE)

    def test_x86_programs_register_no_seh_handler(self):
        if self.is_64_bit:
            self.assertFalse(self.flag("IMAGE_DLLCHARACTERISTICS_NO_SEH"))  # its exceptions unwind by tables
            return
        self.assertTrue(self.flag("IMAGE_DLLCHARACTERISTICS_NO_SEH"))
        code = subprocess.run([self.objdump, "-d", self.program], check=True, capture_output=True, text=True).stdout
        self.assertIn("Disassembly of section .text", code)
        self.assertEqual([], [line for line in code.splitlines() if SEH_CHAIN.search(line)])
        imported = {i.name for entry in self.pe.DIRECTORY_ENTRY_IMPORT for i in entry.imports if i.name}
        self.assertEqual(set(), {n for n in imported if b"except_handler" in n or b"FrameHandler" in n})

    def test_is_stripped_and_names_its_pdb(self):
        self.assertEqual((0, 0), (self.pe.FILE_HEADER.PointerToSymbolTable, self.pe.FILE_HEADER.NumberOfSymbols))
        guid, age, name = symbols.match(self.program, self.pdb)
        self.assertEqual((1, os.path.basename(self.pdb)), (age, name))
        with open(self.pdb, "rb") as pdb:
            held = pdb.read()
        folder = os.path.realpath(self.source_dir).encode()
        self.assertTrue(b"build/" in held and folder not in held, "the PDB names %s, or no mapped path" % folder)
        # ld writes the time of the link into the information stream; the link ran at the source date.
        _, streams = pdb_file.read_streams(held)
        self.assertEqual(int(os.environ["SOURCE_DATE_EPOCH"]), struct.unpack_from("<I", streams[pdb_file.PDB_INFO], 4)[0])

    def test_the_record_costs_one_file_alignment_unit_at_most(self):
        alignment = self.pe.OPTIONAL_HEADER.FileAlignment
        debug = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]]
        section = self.pe.get_section_by_rva(debug.VirtualAddress)
        self.assertEqual(b".buildid", section.Name.rstrip(b"\0"))
        self.assertEqual(alignment, section.SizeOfRawData)
        # Its section header fits in the headers' room: one header fewer would need as many units.
        headers = self.pe.DOS_HEADER.e_lfanew + 24 + self.pe.FILE_HEADER.SizeOfOptionalHeader
        fewer = headers + 40 * (len(self.pe.sections) - 1)
        self.assertEqual(self.pe.OPTIONAL_HEADER.SizeOfHeaders, -(-fewer // alignment) * alignment)


if __name__ == "__main__":
    ShippedProgram.objdump, ShippedProgram.program, ShippedProgram.pdb, ShippedProgram.source_dir = sys.argv[1:5]
    del sys.argv[1:5]
    unittest.main(verbosity=2)
