"""Static checks of KelmoHosted.dll: what the platform and a fresh machine need of it."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "static"))
import pe_facts  # noqa: E402

MACHINES = {"win32": 0x14C, "win64": 0x8664}
# The platform's own DLLs; a compiler runtime DLL (libstdc++, libgcc_s,
# libwinpthread) would be missing on a machine without the toolchain.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "msvcrt.dll"}
EXPORTS = {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"}


class HostedComponentDll(unittest.TestCase):
    path = None
    machine = None

    @classmethod
    def setUpClass(cls):
        cls.pe = pe_facts.load(cls.path)

    def test_is_a_dll_for_the_build_target(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, self.machine)
        self.assertTrue(self.pe.is_dll())

    def test_imports_only_system_dlls(self):
        imported = set(pe_facts.imports(self.pe))
        self.assertEqual(set(), imported - SYSTEM_DLLS)

    def test_exports_the_four_entry_points_undecorated(self):
        names = {s.name.decode() for s in self.pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name}
        self.assertEqual(EXPORTS, names)

    def test_carries_its_type_library(self):
        libraries = [data for kind, item, _, data in pe_facts.resources(self.pe) if kind == "TYPELIB" and item == 1]
        self.assertEqual(1, len(libraries))
        self.assertEqual(b"MSFT", libraries[0][:4])


if __name__ == "__main__":
    HostedComponentDll.machine = MACHINES[sys.argv.pop(1)]
    pe_facts.main_with(HostedComponentDll)
