"""What ships: a 32-bit GUI executable that asks for administrator rights, and the 7z engine and
HTTP library as 32-bit DLLs with their entry points; nothing third-party in the repository."""
import re
import struct
import subprocess
import unittest

from harness import DIST_DIR, SOURCE_DIR, main

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_FILE_DLL = 0x2000


def pe_header(path):
    data = path.read_bytes()
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[offset:offset + 4] == b"PE\0\0", path
    machine, _, _, _, _, _, characteristics = struct.unpack_from("<HHIIIHH", data, offset + 4)
    optional = offset + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    return data, machine, characteristics, magic, subsystem


def exports(path):
    text = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(path)], capture_output=True,
                          text=True, check=True).stdout
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    return set(re.findall(r"\]\s+(\w+)", table[1])) if len(table) == 2 else set()


class Artifacts(unittest.TestCase):
    def test_uninstaller_is_a_32_bit_gui_program_asking_for_administrator(self):
        data, machine, characteristics, magic, subsystem = pe_header(DIST_DIR / "Uninstall.exe")
        self.assertEqual(machine, IMAGE_FILE_MACHINE_I386)
        self.assertEqual(magic, 0x10B)  # PE32
        self.assertEqual(subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI)
        self.assertFalse(characteristics & IMAGE_FILE_DLL)
        self.assertIn(b'level="requireAdministrator"', data)
        self.assertIn(b"Microsoft.Windows.Common-Controls", data)
        self.assertIn("FileVersion".encode("utf-16-le"), data)

    def test_uninstaller_needs_only_system_dlls(self):
        text = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(DIST_DIR / "Uninstall.exe")],
                              capture_output=True, text=True, check=True).stdout
        imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", text)}
        self.assertFalse({n for n in imported if "libstdc++" in n or "libgcc" in n
                          or "winpthread" in n}, imported)

    def test_modules_are_32_bit_dlls_with_their_entry_points(self):
        for name, entry_points in (("7z.dll", {"CreateObject"}),
                                   ("ZemNetUL.dll", {"HttpInit", "HttpUninit"})):
            with self.subTest(name):
                _, machine, characteristics, _, _ = pe_header(DIST_DIR / name)
                self.assertEqual(machine, IMAGE_FILE_MACHINE_I386)
                self.assertTrue(characteristics & IMAGE_FILE_DLL)
                self.assertLessEqual(entry_points, exports(DIST_DIR / name))

    def test_no_third_party_source_is_committed(self):
        files = subprocess.run(["git", "ls-files"], cwd=SOURCE_DIR, capture_output=True, text=True,
                               check=True).stdout.splitlines()
        third_party = re.compile(r"(^|/)(cJSON(_Utils)?\.[ch]|LzmaDec\.[ch]|Lzma2Dec\.[ch]|7zTypes\.h|"
                                 r"IArchive\.h|gtest\.h|gmock\.h)$", re.I)
        self.assertEqual([f for f in files if third_party.search(f)], [])


if __name__ == "__main__":
    main()
