"""Static checks of the 32-bit Kelmo7.exe, which is never executed here."""
import unittest

import pe_facts

# Only what the server's platform interfaces name; UnRegisterTypeLib and
# OaEnablePerUserTLibRegistration are looked up at run time and never imported.
ALLOWED_IMPORTS = {
    "kernel32.dll": {
        "HeapCreate", "HeapAlloc", "HeapReAlloc", "HeapFree", "HeapDestroy",
        "InitializeCriticalSection", "EnterCriticalSection", "LeaveCriticalSection", "DeleteCriticalSection",
        "InterlockedIncrement", "InterlockedDecrement",
        "CreateEventA", "SetEvent", "WaitForSingleObject", "CreateThread", "CloseHandle", "Sleep",
        "GetCurrentThreadId", "GetVersionExA", "GetSystemInfo",
        "GetModuleHandleA", "GetModuleFileNameA", "GetShortPathNameA", "LoadLibraryExA", "LoadLibraryA",
        "GetProcAddress", "FreeLibrary", "FindResourceA", "LoadResource", "SizeofResource",
        "GetCommandLineA", "ExitProcess", "GetLastError",
        "lstrlenA", "lstrlenW", "lstrcpyA", "lstrcpynA", "lstrcatA", "lstrcmpiA", "IsDBCSLeadByte",
        "MultiByteToWideChar", "WideCharToMultiByte",
    },
    "user32.dll": {"GetMessageA", "DispatchMessageA", "PostThreadMessageA", "CharNextA"},
    "advapi32.dll": {
        "RegOpenKeyExA", "RegCreateKeyExA", "RegSetValueExA", "RegDeleteKeyA", "RegDeleteValueA",
        "RegEnumKeyExA", "RegEnumValueA", "RegQueryInfoKeyA", "RegCloseKey",
        "RegOverridePredefKey",  # per-user registration
    },
    "ole32.dll": {
        "CoInitialize", "CoUninitialize", "CoRegisterClassObject", "CoRevokeClassObject", "CoCreateInstance",
        "CoTaskMemAlloc", "CoTaskMemRealloc", "CoTaskMemFree",
    },
    "oleaut32.dll": {
        "LoadRegTypeLib", "LoadTypeLib", "RegisterTypeLib", "SysAllocString", "SysFreeString", "SysStringLen",
        "VarUI4FromStr",
    },
}


class Kelmo7Executable(unittest.TestCase):
    path = None

    @classmethod
    def setUpClass(cls):
        cls.pe = pe_facts.load(cls.path)

    def test_is_a_32_bit_gui_program(self):
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, 0x10B, "PE32")
        self.assertEqual(self.pe.FILE_HEADER.Machine, pe_facts.IMAGE_FILE_MACHINE_I386)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, pe_facts.IMAGE_SUBSYSTEM_WINDOWS_GUI)

    def test_imports_only_the_platform_functions_it_is_allowed(self):
        imported = pe_facts.imports(self.pe)
        self.assertTrue(set(imported) <= set(ALLOWED_IMPORTS), sorted(imported))
        for dll, names in imported.items():
            self.assertEqual(set(), names - ALLOWED_IMPORTS[dll], dll)

    def test_carries_no_language_runtime(self):
        names = [s.Name.rstrip(b"\0").decode() for s in self.pe.sections]
        self.assertNotIn(".tls", names)
        self.assertNotIn(".CRT", names)
        # The entry point lies in our own code, not in a runtime's start-up.
        entry = self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        text = next(s for s in self.pe.sections if s.Name.startswith(b".text"))
        self.assertTrue(text.contains_rva(entry))

    def test_size(self):
        print("\nKelmo7.exe (win32): %d bytes" % len(self.pe.__data__))


if __name__ == "__main__":
    pe_facts.main_with(Kelmo7Executable)
