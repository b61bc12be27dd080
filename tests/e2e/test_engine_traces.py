"""A silent uninstall of the fake product (tests/fixture/install_product.py) by the real
Uninstall.exe: what goes, what stays, what the product's own modules were asked to do, and the
folders that must never be treated as the product's."""
import os
import re
import shutil
import sys
import unittest
from pathlib import Path

from harness import BUILD_DIR, DEFAULT_INSTALL_DIR, SOURCE_DIR, WinePrefix, main

sys.path.insert(0, str(SOURCE_DIR / "tests" / "fixture"))
from install_product import (CHANNEL, RUN_KEY, SHORTCUT, START_MENU_FOLDER,  # noqa: E402
                             UNINSTALL_KEY, APP_PATHS, install_product)

INSTALL = DEFAULT_INSTALL_DIR
STEP_LINES = [
    "start call program",
    "start close all processes",
    "remove desktop shortcuts",
    "remove start menu shortcuts",
    "remove cef cache",
    "remove file by registry",
    "remove registry",
    "remove autorun",
    "Delete uninstall registry",
    f"start delete all files in {INSTALL}",
    f"end delete all files in {INSTALL}",
    "start uninstall DavarezodazoRA.",
    "start create runonce bat",
]


def run_silent(wp, install_dir=INSTALL, timeout=240):
    """Starts the uninstaller silently through the maker's signed helper and waits for both
    stages. Returns the progress values the worker published (its debugger output)."""
    text = wp.run_silent_uninstall(install_dir, timeout, wine_debug="-all,warn+debugstr")
    return [int(v) for v in re.findall(r'"nProgress=(\d+)\\n"', text)]


def in_order(log, lines):
    at = 0
    for line in lines:
        found = log.find(line, at)
        if found < 0:
            return line
        at = found + len(line)
    return None


class SilentUninstall(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wp = WinePrefix("traces")
        try:
            cls.product = install_product(cls.wp)
            cls.progress = run_silent(cls.wp)
            cls.log = cls.wp.log_text()
            cls.calls = cls.product.calls()
            cls.processes = cls.wp.processes()
        except BaseException:
            cls.wp.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.wp.close()

    def test_steps_are_logged_in_order(self):
        self.assertIsNone(in_order(self.log, STEP_LINES), self.log)
        self.assertNotIn("refuse to uninstall", self.log)

    def test_progress_runs_through_the_fixed_values_and_the_sweep(self):
        values = self.progress
        self.assertEqual(values[:7], [1, 4, 5, 6, 7, 8, 9], values)
        self.assertEqual(values[-3:], [97, 98, 100], values)  # 100 reaches the window as 99
        sweep = values[7:-3]
        self.assertTrue(sweep, values)
        self.assertTrue(all(10 <= v <= 98 for v in sweep), values)
        self.assertEqual(sweep, sorted(sweep), values)

    def test_product_files_and_folders_are_gone(self):
        for relative in ("kestiwp.exe", "kestipendant.exe", "config.set", "Zembase.dll", "lpi",
                         "Utils", "wallpaperhelper", "update", "plugin", "log", "DynWp",
                         r"Config\readonly.dat", r"Config\settings.tmp", "Uninstall.exe"):
            with self.subTest(relative):
                self.assertFalse(self.wp.exists(self.product.path(relative)), self.log)

    def test_what_is_not_the_products_stays(self):
        for path in (self.product.path("user_notes.txt"), self.product.path(r"VorIva\VorIva.exe"),
                     self.product.sibling_dir + r"\helper.exe", self.product.outside_file,
                     self.product.appdata + r"\kestiwp\settings.dat"):
            with self.subTest(path):
                self.assertTrue(self.wp.exists(path))
        self.assertEqual(self.log.count("File NOT exists in xml: USER_NOTES.TXT"), 2, self.log)

    def test_vor_iva_and_the_sibling_folders_process_still_run(self):
        images = [p[2].lower() for p in self.processes]
        self.assertIn(self.product.path(r"VorIva\VorIva.exe").lower(), images)
        self.assertIn((self.product.sibling_dir + r"\helper.exe").lower(), images)
        for name in ("kestiwp.exe", "kestipendant.exe"):
            self.assertNotIn(self.product.path(name).lower(), images)

    def test_the_locked_file_is_left_to_the_next_start(self):
        locked = self.product.path(r"Config\locked.dat")
        _, pending = self.wp.reg("query", r"HKLM\System\CurrentControlSet\Control\Session Manager",
                                 "/v", "PendingFileRenameOperations", view=64)
        moved = re.search(re.escape(f"cut {locked} to ") + r"(\S+) success", self.log)
        scheduled = (locked.lower() in pending.lower()
                     or (moved and moved.group(1).lower() in pending.lower())
                     or f"write to runonce bat: {locked}" in self.log)
        self.assertTrue(scheduled, self.log + pending)

    def test_registry_traces_are_gone_in_both_views(self):
        gone_values = [(r"HKCU" + "\\" + RUN_KEY, "kestiwp-srv", 32),
                       (r"HKLM" + "\\" + RUN_KEY, "kestiwp-srv", 32),
                       (r"HKLM" + "\\" + RUN_KEY, "kestiwp", 32),
                       (r"HKLM" + "\\" + RUN_KEY, "kestiwp", 64)]
        for key, name, view in gone_values:
            with self.subTest(key=key, name=name, view=view):
                self.assertIsNone(self.wp.reg_query(key, name, view=view))
        for key in ("HKLM\\" + UNINSTALL_KEY, r"HKCU\Software\KestiWallPaper",
                    r"HKCR\KestiWallpaper", "HKLM\\" + APP_PATHS):
            with self.subTest(key=key):
                self.assertFalse(self.wp.reg_key_exists(key), self.log)

    def test_services_and_task_are_gone(self):
        for service in ("KsSvc", "DavarezodazoRA"):
            with self.subTest(service):
                self.assertFalse(self.wp.reg_key_exists(
                    rf"HKLM\System\CurrentControlSet\Services\{service}", view=64))
        self.assertFalse(self.wp.unix(r"C:\windows\system32\tasks\kestiwp-srv").exists())
        self.assertNotIn("delete kssvc fail", self.log)

    def test_shortcuts_start_menu_and_browser_cache_are_gone(self):
        for path in (self.product.user_desktop + "\\" + SHORTCUT,
                     self.product.public_desktop + "\\" + SHORTCUT,
                     self.product.start_menu + "\\" + START_MENU_FOLDER,
                     self.product.appdata + r"\kestiwp\cef_cache"):
            with self.subTest(path):
                self.assertFalse(self.wp.exists(path))

    def test_product_modules_were_called_with_their_arguments(self):
        def called(kind, image, *args):
            image = self.product.path(image).lower()
            for row in self.calls:
                if not row or row[0] != kind:
                    continue
                if kind == "exe" and len(row) >= 4 and row[2].lower() == image \
                        and all(a in row[3] for a in args):
                    return True
                if kind in ("dll", "dllex") and len(row) >= 4 and row[1].lower() == image \
                        and list(args) == row[2:2 + len(args)]:
                    return True
            return False

        shell_extension = self.product.path(r"Utils\VRNShellExt64.dll")
        expected = [
            ("dll", r"lpi\KsSvc.dll", "DS", ""),
            ("exe", r"Utils\rundll64.exe",
             f'--dll="{shell_extension}" --entry=ShellOpen_Varnel32W --verb=UnInstall'),
            ("exe", r"plugin\launcher.exe", "--uninstall-plugin"),
            ("exe", r"update\kcleaner.exe", f"--mode=run --PRODUCT=kesti --PID={CHANNEL}"),
            ("dllex", r"plugin\kplug.dll", "Uninst", "plugarg"),
            ("dllex", r"plugin\ktest.tpi", "Uninst", "tpiarg /Regtest"),
            ("dll", r"lpi\fpe.dll", "Uninst", "fpearg"),
            ("exe", r"lpi\fpe.exe", "--fpe /uninstall /product=bizhi"),
            ("dll", r"wallpaperhelper\Pelmora12.dll", "Uninst", ""),
        ]
        for kind, image, *args in expected:
            with self.subTest(image=image):
                self.assertTrue(called(kind, image, *args), "\n".join(map("\t".join, self.calls)))
        self.assertFalse([r for r in self.calls if "never-called" in "\t".join(r)])

    def test_product_windows_were_asked_to_quit(self):
        messages = [r for r in self.calls if r and r[0] == "msg"]
        main_window = [r for r in messages if r[2] == "ZemWallpaperMsgWndClass"]
        pendant = [r for r in messages if r[2] == "ZemWallPaperCtrlCls"]
        self.assertIn("quit_broadcast", [r[3] for r in main_window], messages)
        self.assertIn(["WM_COMMAND", "40011", "102"], [r[3:6] for r in pendant], messages)

    def test_the_temporary_copy_is_gone(self):
        # The uninstaller's own copy goes; what of it is still running when it ends (its own
        # executable) may instead be scheduled for deletion at the next start, like any locked file.
        copies = [p for p in self.wp.temp_copies() if (p / "Uninstall.exe").exists()]
        _, pending = self.wp.reg("query", r"HKLM\System\CurrentControlSet\Control\Session Manager",
                                 "/v", "PendingFileRenameOperations", view=64)
        for copy in copies:
            folder = self.wp.temp_dir + "\\" + copy.name
            with self.subTest(folder):
                self.assertIn(folder.lower(), pending.lower(), self.log)


class MissingAndBrokenPieces(unittest.TestCase):
    def test_missing_services_and_an_unsigned_launcher_do_not_stop_the_uninstall(self):
        with WinePrefix("missing") as wp:
            product = install_product(wp, start_processes=False)
            for service in ("KsSvc", "DavarezodazoRA"):
                wp.wine("sc", "delete", service, check=True)
            launcher = product.path(r"Utils\rundll64.exe")
            shutil.copy2(BUILD_DIR / "fixture" / "fixture_program_unsigned.exe", wp.unix(launcher))
            run_silent(wp)
            log = wp.log_text()
            self.assertIn("delete kssvc fail", log)
            self.assertIsNone(in_order(log, STEP_LINES), log)
            self.assertFalse([r for r in product.calls() if len(r) > 2 and r[0] == "exe"
                              and r[2].lower() == launcher.lower()])
            self.assertFalse(wp.unix(product.path("kestiwp.exe")).exists())


class DangerousInstallFolders(unittest.TestCase):
    """An install folder value that names a system or user folder removes nothing."""

    def test_user_files_survive(self):
        user = os.environ.get("USER") or "root"
        cases = [
            ("drive root", "C:\\"),
            ("windows", r"C:\windows"),
            ("program files", r"C:\Program Files (x86)"),
            ("profile", rf"C:\users\{user}"),
            ("downloads", rf"C:\users\{user}\Downloads"),
        ]
        for name, folder in cases:
            with self.subTest(name), WinePrefix("danger") as wp:
                # The uninstaller starts only from the folder its registry entry names, so it is
                # put there, as a damaged or hostile install would have it.
                wp.install_basic_product(install_dir=folder, channel=CHANNEL)
                precious = [folder.rstrip("\\") + r"\precious.txt",
                            folder.rstrip("\\") + r"\config.set",
                            folder.rstrip("\\") + r"\Config\user.dat",
                            folder.rstrip("\\") + r"\kestiwp.exe"]
                for path in precious:
                    target = wp.unix(path)
                    target.parent.mkdir(parents=True, exist_ok=True)
                    target.write_bytes(b"the user's\r\n")
                run_silent(wp, install_dir=folder)
                log = wp.log_text()
                self.assertIn("re unistinfo ret=", log)  # the worker ran to its end
                for path in precious:
                    self.assertEqual(wp.unix(path).read_bytes(), b"the user's\r\n", path + log)
                self.assertNotIn("start delete all files in", log)
                self.assertTrue(wp.unix(folder.rstrip("\\") + r"\Uninstall.exe").exists())

    def test_a_link_inside_the_install_folder_is_not_followed(self):
        with WinePrefix("junction") as wp:
            product = install_product(wp, start_processes=False)
            user_files = wp.unix(rf"C:\users\{wp.user}\Documents\user files")
            (user_files / "deep").mkdir(parents=True)
            for relative in ("letter.txt", r"deep/photo.jpg"):
                (user_files / relative).write_bytes(b"the user's\r\n")
            # Under Wine a Unix symbolic link is a directory with a reparse point, as a junction is.
            for link in (r"Config\linked", r"DynWp\linked", "net"):
                target = wp.unix(product.path(link))
                target.parent.mkdir(parents=True, exist_ok=True)
                target.symlink_to(user_files, target_is_directory=True)
            # The registered-file list and the start-menu folder reach through links too.
            wp.reg_add("HKLM\\" + APP_PATHS + r"\file_list", r"net\letter.txt", "")
            start_menu = wp.unix(product.start_menu + "\\" + START_MENU_FOLDER)
            shutil.rmtree(start_menu)
            start_menu.symlink_to(user_files, target_is_directory=True)
            run_silent(wp)
            self.assertIn("re unistinfo ret=", wp.log_text())
            for relative in ("letter.txt", r"deep/photo.jpg"):
                self.assertEqual((user_files / relative).read_bytes(), b"the user's\r\n",
                                 wp.log_text())
            self.assertFalse(wp.unix(product.path("kestiwp.exe")).exists())


if __name__ == "__main__":
    main()
