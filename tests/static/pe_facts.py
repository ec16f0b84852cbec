"""Facts read off a built PE file, for the static checks of the 32-bit deliverables."""
import os
import sys
import unittest

import pefile

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2


def load(path):
    return pefile.PE(path)


def imports(pe):
    """{dll name in lower case: set of imported function names}"""
    found = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = found.setdefault(entry.dll.decode().lower(), set())
        for item in entry.imports:
            names.add(item.name.decode() if item.name else "#%d" % item.ordinal)
    return found


def size_without_signature(pe):
    """The file's size but for the certificate table that a signature appends."""
    table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    return table.VirtualAddress if table.Size else len(pe.__data__)


def resources(pe):
    """[(type, id, language, bytes)] with type and id as names or numbers."""
    found = []
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        kind_name = str(kind.name) if kind.name is not None else kind.id
        for item in kind.directory.entries:
            item_name = str(item.name) if item.name is not None else item.id
            for language in item.directory.entries:
                data = language.data.struct
                raw = pe.get_memory_mapped_image()[data.OffsetToData:data.OffsetToData + data.Size]
                found.append((kind_name, item_name, language.id, bytes(raw)))
    return found


def version_info(pe):
    """(fixed file info, {string table key: {name: value}}, [(language, code page)])"""
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    fixed = pe.VS_FIXEDFILEINFO[0]
    tables, translations = {}, []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                tables[table.LangID.decode()] = {k.decode(): v.decode() for k, v in table.entries.items()}
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                value = var.entry.get(b"Translation")
                if value:
                    # pefile writes each translation as "0xLANG 0xCODEPAGE".
                    numbers = [int(word, 16) for word in value.split()]
                    translations.extend(zip(numbers[0::2], numbers[1::2]))
    return fixed, tables, translations


class Win32GuiProgram(unittest.TestCase):
    """Checks every 32-bit deliverable shares; path is set by main_with."""
    path = None

    @classmethod
    def setUpClass(cls):
        cls.pe = load(cls.path)

    def test_is_a_32_bit_gui_program(self):
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, 0x10B, "PE32")
        self.assertEqual(self.pe.FILE_HEADER.Machine, IMAGE_FILE_MACHINE_I386)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI)

    def test_header_is_dated_from_the_sources(self):
        self.assertEqual(source_date(), self.pe.FILE_HEADER.TimeDateStamp)

    def test_checksum_is_valid(self):
        self.assertEqual(self.pe.generate_checksum(), self.pe.OPTIONAL_HEADER.CheckSum)


def source_date():
    """The source date the build wrote into its files, in seconds since 1970."""
    return int(os.environ["SOURCE_DATE_EPOCH"])


def main_with(test_case_class):
    """Runs the checks of test_case_class against the file named on the command line."""
    test_case_class.path = sys.argv.pop(1)
    unittest.main(verbosity=2)
