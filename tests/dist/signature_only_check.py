"""A signed program is its unsigned build with a certificate table appended:
the same bytes but for the checksum and the table's directory entry."""
import os
import struct
import sys
import unittest

import pefile

SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002


class SignatureOnly(unittest.TestCase):
    folder = None  # the signing fixture's, with unsigned/ and signed/

    def read(self, kind, name):
        with open(os.path.join(self.folder, kind, name), "rb") as program:
            return program.read()

    def test_only_a_certificate_table_is_added(self):
        for name in sorted(os.listdir(os.path.join(self.folder, "unsigned"))):
            with self.subTest(name):
                unsigned, signed = self.read("unsigned", name), self.read("signed", name)
                header = pefile.PE(data=signed, fast_load=True).OPTIONAL_HEADER
                checksum = header.get_field_absolute_offset("CheckSum")
                directory = header.DATA_DIRECTORY[SECURITY]
                entry = directory.get_file_offset()

                def outside_the_fields(data):
                    return data[:checksum] + data[checksum + 4:entry] + data[entry + 8:]

                self.assertEqual(bytes(8), unsigned[entry:entry + 8])
                self.assertEqual(outside_the_fields(unsigned), outside_the_fields(signed[:len(unsigned)]))
                # The table starts at the end of the file, aligned to 8 bytes, and ends the file.
                table = directory.VirtualAddress  # a file offset, for this directory only
                self.assertEqual(-len(unsigned) % 8, table - len(unsigned))
                self.assertEqual(bytes(table - len(unsigned)), signed[len(unsigned):table])
                self.assertEqual(len(signed), table + directory.Size)
                length, revision, kind = struct.unpack_from("<IHH", signed, table)
                self.assertEqual((directory.Size, WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA),
                                 (length, revision, kind))


if __name__ == "__main__":
    SignatureOnly.folder = sys.argv.pop(1)
    unittest.main(verbosity=2)
