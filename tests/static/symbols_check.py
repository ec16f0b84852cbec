"""Through its PDB, an address inside the function at the program's entry point
resolves to that function's name; the PDB of another link, put where the
program's record points, is refused.
Usage: symbols_check.py PROGRAM PDB FUNCTION OTHER_PDB"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "dist"))
import symbols  # noqa: E402


class Symbols(unittest.TestCase):
    program = pdb = function = other = None

    def setUp(self):
        # As a debugger finds them: the program, and beside it the PDB its record names.
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        self.copy = shutil.copy(self.program, folder)
        self.pdb_copy = shutil.copy(self.pdb, folder)

    def test_an_address_in_the_entry_function_resolves_to_its_name(self):
        symbols.match(self.copy, self.pdb_copy)
        header = pefile.PE(self.program, fast_load=True).OPTIONAL_HEADER
        inside = header.ImageBase + header.AddressOfEntryPoint + 1
        named = subprocess.run(["llvm-symbolizer", "--obj=" + self.copy, hex(inside)],
                               check=True, capture_output=True, text=True).stdout.splitlines()
        self.assertEqual(self.function, named[0])

    def test_a_pdb_with_another_guid_is_refused(self):
        shutil.copy(self.other, self.pdb_copy)
        with self.assertRaisesRegex(symbols.Mismatch, "is not .*'s PDB: it has GUID"):
            symbols.match(self.copy, self.pdb_copy)


if __name__ == "__main__":
    Symbols.program, Symbols.pdb, Symbols.function, Symbols.other = sys.argv[1:5]
    del sys.argv[1:5]
    unittest.main(verbosity=2)
