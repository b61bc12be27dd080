"""An install folder value that names a system or user folder: the real Uninstall.exe, started
silently the way the product's helper starts it, reaches its uninstall steps and refuses them
all. Nothing is deleted and nothing is killed, not even what belongs to the product."""
import sys
import unittest

from harness import APP_PATHS, SOURCE_DIR, WinePrefix, main

sys.path.insert(0, str(SOURCE_DIR / "tests" / "fixture"))
from install_product import RUN_KEY, UNINSTALL_KEY, install_product  # noqa: E402

USER_BYTES = b"the user's own file\r\n"


class DangerousInstallFolders(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # One prefix for every case: a refused run changes nothing, so each case starts from the
        # same installed product, which must still be whole (and running) after all of them.
        cls.wp = WinePrefix("danger")
        try:
            cls.product = install_product(cls.wp)
        except BaseException:
            cls.wp.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.wp.close()

    def place_user_files(self, folder):
        """Files of the user in the folder, some named like the product's own entries."""
        paths = [rf"{folder}\precious.txt", rf"{folder}\config.set", rf"{folder}\Config\user.dat",
                 rf"{folder}\log\diary.txt", rf"{folder}\Old.tmp"]
        for path in paths:
            target = self.wp.unix(path)
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(USER_BYTES)
        return paths

    def assert_product_untouched(self, log):
        product = self.product
        for relative in ("kestiwp.exe", "Uninstall.exe", r"Utils\rundll.exe", r"lpi\KsSvc.dll",
                         "config.set", r"Config\readonly.dat", "user_notes.txt"):
            self.assertTrue(self.wp.unix(product.path(relative)).exists(), relative + log)
        images = [p[2].lower() for p in self.wp.processes()]
        for image in (product.path("kestiwp.exe"), product.path("kestipendant.exe"),
                      product.path(r"VorIva\VorIva.exe")):
            self.assertIn(image.lower(), images, log)
        self.assertTrue(self.wp.reg_key_exists("HKLM\\" + UNINSTALL_KEY), log)
        self.assertIsNotNone(self.wp.reg_query("HKLM\\" + RUN_KEY, "kestiwp", view=64), log)
        self.assertTrue(self.wp.reg_key_exists(r"HKCR\KestiWallpaper"), log)
        self.assertTrue(self.wp.reg_key_exists(
            r"HKLM\System\CurrentControlSet\Services\KsSvc", view=64), log)
        self.assertTrue(self.wp.unix(product.user_desktop + r"\Kesti壁纸.lnk").exists(), log)

    def test_every_step_is_refused(self):
        user = self.wp.user
        cases = [
            ("drive root", "C:\\"),
            ("windows", r"C:\windows"),
            ("program files x86", r"C:\Program Files (x86)"),
            ("program files", r"C:\Program Files"),
            ("profile", rf"C:\users\{user}"),
            ("users", r"C:\users"),
            ("desktop", rf"C:\users\{user}\Desktop"),
            ("documents", rf"C:\users\{user}\Documents"),
            ("downloads", rf"C:\users\{user}\Downloads"),
            ("roaming app data", rf"C:\users\{user}\AppData\Roaming"),
            ("temporary folder", self.wp.temp_dir),
        ]
        for name, folder in cases:
            with self.subTest(name):
                log_file = self.wp.log_path
                if log_file.exists():
                    log_file.unlink()
                # The uninstaller and the modules its first stage copies, as if installed there.
                self.wp.install_basic_product(install_dir=folder, channel="rovozazo")
                folder = folder.rstrip("\\")
                paths = self.place_user_files(folder)
                self.wp.run_silent_uninstall(folder)
                log = self.wp.log_text()
                self.assertIn(f'refuse to uninstall from "{folder}', log)
                for line in ("start call program", "start close all processes",
                             "start delete all files in", "start create runonce bat",
                             "Kill process:"):
                    self.assertNotIn(line, log)
                for path in paths:
                    self.assertEqual(self.wp.unix(path).read_bytes(), USER_BYTES, path)
                for placed in ("Zembase.dll", "kestiwp.exe", r"Utils\7z.dll"):
                    self.assertTrue(self.wp.unix(rf"{folder}\{placed}").exists(), placed)
                self.assert_product_untouched(log)
        # The App Paths value back to the product, for tidiness of the shared prefix.
        self.wp.reg_add("HKLM\\" + APP_PATHS, "path", self.product.install_dir)


if __name__ == "__main__":
    main()
