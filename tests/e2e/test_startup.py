"""The start-up sequence of the real Uninstall.exe: the two stages, the temporary copy, the
single-instance guard and the early stops."""
import re
import time
import unittest

from harness import BUILD_DIR, APP_PATHS, DEFAULT_INSTALL_DIR, WinePrefix, main

HOLD_MUTEX = BUILD_DIR / "tests" / "e2e" / "hold_mutex.exe"
INSTALL = DEFAULT_INSTALL_DIR
GUID_DIR = re.compile(r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9a-f]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}\.tmp$")
DAMAGED = "卸载程序已被破坏，请重新下载安装后再进行卸载"


def banners(log):
    return log.count("================== Start Log:")


class Relaunch(unittest.TestCase):
    def test_first_stage_copies_itself_and_starts_the_copy(self):
        # Both the usual name and the product's alternative name of the uninstaller work; the
        # copy is always Uninstall.exe.
        for exe in ("Uninstall.exe", "Vadorive.exe"):
            with self.subTest(exe=exe), WinePrefix("relaunch") as wp:
                wp.install_basic_product(exe_name=exe)
                with wp.watch_temp_copies() as watch:
                    wp.run_uninstaller(rf"{INSTALL}\{exe}", "/foo=bar")
                copies = watch.copies_of("Uninstall.exe")
                self.assertEqual(len(copies), 1, watch.seen)
                name, files = copies.popitem()
                self.assertRegex(name, GUID_DIR)
                self.assertLessEqual({"Uninstall.exe", "Zembase.dll", "7z.dll", r"Utils\VRNBasic.dll"},
                                     files)
                # The configuration was unpacked for the run and removed after it.
                unpacked = watch.copies_of("bizhi.vrnprj")
                self.assertEqual(len(unpacked), 1, watch.seen)
                self.assertFalse(wp.unix(wp.temp_dir).joinpath(*unpacked).exists())
                log = wp.log_text()
                self.assertEqual(banners(log), 2, log)
                self.assertIn("parent process path= ", log)
                # The second stage got the caller's options first, then the stage marker after
                # two spaces.
                self.assertRegex(log, r"command line: .*/foo=bar  /READYUNINSTALL")

    def test_missing_app_paths_value_is_rewritten_to_own_folder(self):
        with WinePrefix("apppaths") as wp:
            wp.install_basic_product()
            wp.reg_delete(APP_PATHS, "path")
            with wp.watch_temp_copies() as watch:
                wp.run_uninstaller(rf"{INSTALL}\Uninstall.exe")
            self.assertEqual(wp.reg_query(APP_PATHS, "path").lower(), INSTALL.lower())
            self.assertEqual(len(watch.copies_of("Uninstall.exe")), 1, watch.seen)
            self.assertEqual(banners(wp.log_text()), 2)

    def test_required_module_missing_stops_the_relaunch(self):
        with WinePrefix("no7z") as wp:
            wp.install_basic_product(with_7z=False)
            wp.run_uninstaller(rf"{INSTALL}\Uninstall.exe")
            log = wp.log_text()
            self.assertEqual(banners(log), 1, log)
            self.assertIn(DAMAGED, log)
            self.assertNotIn("/READYUNINSTALL", log)


class EarlyStops(unittest.TestCase):
    def test_second_instance_is_refused(self):
        with WinePrefix("mutex") as wp:
            wp.install_basic_product()
            holder = wp.start(HOLD_MUTEX, "KestiWallPaperInstaller", "60")
            try:
                wp.wait_until(lambda: wp.running("hold_mutex.exe"), timeout=30, what="the holder")
                time.sleep(1)
                wp.run_uninstaller(rf"{INSTALL}\Uninstall.exe")
                log = wp.log_text()
                self.assertIn("CheckSingleInstance failed, exit", log)
                self.assertIn("安装或卸载程序已经在运行", log)
                self.assertEqual(wp.temp_copies(), [])
            finally:
                holder.kill()
                holder.wait()

    def test_silent_call_from_another_channel_is_illegal(self):
        for channel in ("otherchan", None):
            with self.subTest(channel=channel), WinePrefix("illegal") as wp:
                wp.install_basic_product(channel=channel)
                wp.run_uninstaller(rf"{INSTALL}\Uninstall.exe", "/S")
                log = wp.log_text()
                self.assertIn("illegal call", log)
                self.assertEqual(banners(log), 1)
                self.assertEqual(wp.temp_copies(), [])

    def test_second_stage_without_install_folder_reports_damage(self):
        with WinePrefix("nodir") as wp:
            folder = wp.install_basic_product()
            wp.reg_delete(APP_PATHS, "path")
            wp.run_uninstaller(rf"{INSTALL}\Uninstall.exe", "/READYUNINSTALL")
            log = wp.log_text()
            self.assertIn(DAMAGED, log)
            self.assertNotIn("pre init check failed", log)
            self.assertTrue((folder / "Uninstall.exe").exists())


if __name__ == "__main__":
    main()
