"""A silent uninstall of the fake product, then the next start of the system: what the run could
not delete (a file another program held open, and the folder around it) was left to the pending
deletions, and after the restart nothing of the product is left, while what is not the
product's is still there."""
import re
import subprocess
import sys
import unittest

from harness import BUILD_DIR, SOURCE_DIR, WinePrefix, main

sys.path.insert(0, str(SOURCE_DIR / "tests" / "fixture"))
from install_product import install_product  # noqa: E402

SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"
RUN_ONCE = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\RunOnce"


class SilentUninstallAndRestart(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wp = WinePrefix("silent-restart")
        try:
            cls.product = install_product(cls.wp)
            cls.wp.run_silent_uninstall(cls.product.path(""))
            cls.log = cls.wp.log_text()
            _, cls.pending = cls.wp.reg("query", SESSION_MANAGER, "/v",
                                        "PendingFileRenameOperations", view=64)
            _, cls.run_once = cls.wp.reg("query", RUN_ONCE)
            # The next start: every process ends, then the system carries out the pending
            # deletions (wineboot -r does what the session manager does at boot).
            env = cls.wp.env
            subprocess.run(["wineserver", "-k"], env=env, check=False)
            subprocess.run(["wineserver", "-w"], env=env, check=False, timeout=60)
            cls.wp.wine("wineboot", "-r", timeout=120)
            subprocess.run(["wineserver", "-w"], env=env, check=False, timeout=60)
        except BaseException:
            cls.wp.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.wp.close()

    def test_the_held_file_and_its_folder_were_left_to_the_pending_deletions(self):
        locked = self.product.path(r"Config\locked.dat")
        self.assertIn(f"cut {locked} to temp failed, delete by pending", self.log)
        moved = re.search(re.escape("cut " + self.product.path("Config") + " to ") + r"(\S+) success",
                          self.log)
        self.assertTrue(moved, self.log)
        # The moved folder's content is scheduled before the folder itself.
        pending = self.pending.lower()
        held = (moved.group(1) + r"\locked.dat").lower()
        inner = pending.find(held)
        self.assertGreaterEqual(inner, 0, self.pending)
        outer = pending.find(moved.group(1).lower(), inner + len(held))
        self.assertGreater(outer, inner, self.pending)
        self.assertFalse(self.wp.exists(moved.group(1)), self.pending)

    def test_nothing_of_the_product_is_left_after_the_restart(self):
        self.assertFalse(self.wp.exists(self.product.path("Config")), self.log)
        remaining = sorted(p.name for p in self.wp.unix(self.product.install_dir).iterdir())
        self.assertEqual(remaining, ["VorIva", "user_notes.txt"], self.log)

    def test_what_is_not_the_products_survives_the_restart(self):
        for path in (self.product.path("user_notes.txt"), self.product.path(r"VorIva\VorIva.exe"),
                     self.product.sibling_dir + r"\helper.exe", self.product.outside_file,
                     self.product.appdata + r"\kestiwp\settings.dat"):
            with self.subTest(path):
                self.assertTrue(self.wp.exists(path))

    def test_no_batch_was_needed(self):
        # Every deferred deletion could be scheduled, so no RunOnce batch was written.
        self.assertNotIn("write to runonce bat", self.log)
        self.assertNotRegex(self.run_once, r"(?i)vrn\w*\.bat")


if __name__ == "__main__":
    main()
