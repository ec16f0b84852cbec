"""Static checks of the 32-bit tollan.exe, which is never executed here."""

import pe_facts

RT_VERSION = 16
LANG_EN_US = 0x0409
SIZE_GOAL = 16 * 1024

# The runtime's start-up and exit need kernel32 and msvcrt; no other DLL,
# and none of mingw's own, may be needed next to the program.
ALLOWED_DLLS = {"kernel32.dll", "msvcrt.dll"}
OWN_IMPORTS = {"GetCommandLineA", "SetFileAttributesA", "DeleteFileA"}


class TollanExecutable(pe_facts.Win32GuiProgram):
    def test_needs_only_kernel32_and_msvcrt(self):
        imported = pe_facts.imports(self.pe)
        self.assertEqual(set(), set(imported) - ALLOWED_DLLS, sorted(imported))
        self.assertEqual(set(), OWN_IMPORTS - imported.get("kernel32.dll", set()))

    def test_is_stripped(self):
        self.assertEqual(0, self.pe.FILE_HEADER.PointerToSymbolTable)
        self.assertEqual(0, self.pe.FILE_HEADER.NumberOfSymbols)

    def test_version_resource(self):
        blocks = [(name, language) for kind, name, language, _ in pe_facts.resources(self.pe) if kind == RT_VERSION]
        self.assertEqual([(1, LANG_EN_US)], blocks)
        fixed, tables, translations = pe_facts.version_info(self.pe)
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0x00000001))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0x00000001))
        self.assertEqual(0, fixed.FileFlags)
        self.assertEqual(0x40004, fixed.FileOS)
        self.assertEqual(1, fixed.FileType)
        self.assertEqual(0, fixed.FileSubtype)
        self.assertEqual(["040904b0"], list(tables))
        strings = tables["040904b0"]
        for name, value in {
            "FileDescription": "tollan",
            "FileVersion": "1, 0, 0, 1",
            "InternalName": "tollan",
            "OriginalFilename": "tollan.exe",
            "ProductVersion": "1, 0, 0, 1",
        }.items():
            self.assertEqual(value, strings.get(name), name)
        for name in ("CompanyName", "ProductName", "LegalCopyright"):
            self.assertTrue(strings.get(name), name)
        self.assertEqual([(0x0409, 0x04B0)], translations)

    def test_size(self):
        size = pe_facts.size_without_signature(self.pe)
        print("\ntollan.exe (win32): %d bytes (goal %d)" % (size, SIZE_GOAL))
        self.assertLessEqual(size, SIZE_GOAL)


if __name__ == "__main__":
    pe_facts.main_with(TollanExecutable)
