"""Static checks of the 32-bit Kelmo7.exe, which is never executed here."""
import os
import time
import uuid

import msft_typelib
import pe_facts

RESOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server", "resources")
RT_STRING, RT_VERSION = 6, 16
ENGLISH_US, ENGLISH_UK = 0x0409, 0x0809
TKIND_COCLASS, TKIND_DISPATCH = 5, 4
SYS_WIN32 = 1
# The library's creation stamps that widl writes: the time, and a text ending in the time.
CREATION_TIME = uuid.UUID("de77ba63-517c-11d1-a2da-0000f8773ce9")
CREATION_TEXT = uuid.UUID("de77ba65-517c-11d1-a2da-0000f8773ce9")

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


class Kelmo7Executable(pe_facts.Win32GuiProgram):
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

    def resource(self, kind, ident):
        found = [r for r in pe_facts.resources(self.pe) if str(r[0]) == str(kind) and str(r[1]) == str(ident)]
        self.assertEqual(1, len(found), (kind, ident))
        return found[0]

    def test_carries_exactly_its_resources(self):
        listed = sorted((str(k), str(i), lang) for k, i, lang, _ in pe_facts.resources(self.pe))
        self.assertEqual(sorted([
            ("REGISTRY", "100", ENGLISH_US), ("REGISTRY", "101", ENGLISH_UK), ("TYPELIB", "1", ENGLISH_UK),
            (str(RT_STRING), "7", ENGLISH_US), (str(RT_VERSION), "1", ENGLISH_UK),
        ]), listed)

    def test_registry_scripts_are_carried_byte_for_byte(self):
        for ident, name, size in ((100, "appid.rgs", 175), (101, "class.rgs", 483)):
            _, _, _, data = self.resource("REGISTRY", str(ident))
            with open(os.path.join(RESOURCES, name), "rb") as source:
                expected = source.read()
            self.assertEqual(size, len(expected))
            self.assertEqual(expected, data)
            self.assertTrue(data.endswith(b"}\r\n"))

    def test_string_table_names_the_program(self):
        # Strings 96 to 111 share block 7; string 100 is the fifth of them.
        _, _, _, block = self.resource(RT_STRING, 7)
        strings, position = [], 0
        for _ in range(16):
            length = int.from_bytes(block[position:position + 2], "little")
            strings.append(block[position + 2:position + 2 + 2 * length].decode("utf-16-le"))
            position += 2 + 2 * length
        self.assertEqual(["", "", "", "", "Kelmo7"] + [""] * 11, strings)

    def test_version_block(self):
        fixed, tables, translations = pe_facts.version_info(self.pe)
        self.assertEqual((0x00080003, 0x04B20000), (fixed.FileVersionMS, fixed.FileVersionLS))
        self.assertEqual((0x00080003, 0x04B20000), (fixed.ProductVersionMS, fixed.ProductVersionLS))
        self.assertEqual(0, fixed.FileFlags)
        self.assertEqual(0x40004, fixed.FileOS)
        self.assertEqual(2, fixed.FileType)
        self.assertEqual(0, fixed.FileSubtype)
        self.assertEqual((0, 0), (fixed.FileDateMS, fixed.FileDateLS))
        self.assertEqual(["040904e4"], list(tables))
        table = tables["040904e4"]
        self.assertEqual(["CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                          "LegalTrademarks", "OriginalFilename", "ProductName", "ProductVersion"], list(table))
        self.assertEqual("8.3.1202.0", table["FileVersion"])
        self.assertEqual("Kelmo7", table["InternalName"])
        self.assertEqual("Kelmo7.exe", table["OriginalFilename"])
        self.assertEqual("8.3.1202.0", table["ProductVersion"])
        self.assertNotIn("OLESelfRegister", table)
        self.assertEqual([(0x0409, 0x04E4)], translations)

    def test_type_library_is_for_32_bit_windows(self):
        _, _, _, data = self.resource("TYPELIB", "1")
        library = msft_typelib.TypeLibraryFile(data)
        self.assertEqual(SYS_WIN32, library.syskind)
        self.assertEqual((1, 0), library.version)
        self.assertEqual(0, library.lcid2)
        self.assertEqual(0, library.flags)
        coclass, dispatch = library.types
        self.assertEqual((TKIND_COCLASS, 0x2, 1), (coclass["kind"], coclass["flags"], coclass["implemented"]))
        self.assertEqual(TKIND_DISPATCH, dispatch["kind"])
        self.assertEqual(0x1140, dispatch["flags"])
        self.assertEqual((28, 4, 4), (dispatch["vtable"], dispatch["instance"], dispatch["alignment"]))

    def test_type_library_is_dated_from_the_sources(self):
        _, _, _, data = self.resource("TYPELIB", "1")
        stamps = msft_typelib.TypeLibraryFile(data).custom_data
        date = pe_facts.source_date()
        self.assertEqual(date, stamps[CREATION_TIME])
        self.assertTrue(stamps[CREATION_TEXT].endswith(" at %s\n" % time.asctime(time.gmtime(date))),
                        stamps[CREATION_TEXT])

    def test_size(self):
        print("\nKelmo7.exe (win32): %d bytes" % pe_facts.size_without_signature(self.pe))


if __name__ == "__main__":
    pe_facts.main_with(Kelmo7Executable)
