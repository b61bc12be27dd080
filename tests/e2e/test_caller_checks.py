"""Who may start the uninstaller, and the second stage's own checks: a silent run needs the
maker's signed helper as the caller and a token bound to this machine; the second stage needs
its own file signed by the maker and a working archive engine."""
import shutil
import subprocess
import sys
import unittest

from harness import (BUILD_DIR, DEFAULT_INSTALL_DIR, SOURCE_DIR, UNINSTALL_EXE,
                     UNSIGNED_LAUNCHER, WinePrefix, main)

sys.path.insert(0, str(SOURCE_DIR / "tests" / "double"))
import service_double  # noqa: E402  (its Blowfish is the tests' own, independent of the program)

INSTALL = DEFAULT_INSTALL_DIR
TOOLS = BUILD_DIR / "tests" / "e2e"
DAMAGED = "卸载程序已被破坏，请重新下载安装后再进行卸载"


def banners(log):
    return log.count("================== Start Log:")


def unsigned_copy(target):
    target.unlink(missing_ok=True)  # osslsigncode writes only new files
    subprocess.run(["osslsigncode", "remove-signature", "-in", str(UNINSTALL_EXE), "-out", str(target)],
                   check=True, stdout=subprocess.DEVNULL)


def tampered_copy(target):
    data = bytearray(UNINSTALL_EXE.read_bytes())
    data[0x400] ^= 0xFF  # inside the code, covered by the signature's hash
    target.write_bytes(bytes(data))


class SilentCaller(unittest.TestCase):
    def test_signed_helper_may_start_a_silent_uninstall(self):
        with WinePrefix("signedcaller") as wp:
            wp.install_basic_product(channel="  rovozazo ")  # blanks around the channel are fine
            wp.run_silent_uninstall()
            log = wp.log_text()
            self.assertNotIn("illegal call", log)
            self.assertEqual(banners(log), 2, log)
            self.assertRegex(log, r"command line: /S  /READYUNINSTALL  /CHK=[A-Za-z0-9+/=]+")

    def test_unsigned_caller_is_refused(self):
        with WinePrefix("unsignedcaller") as wp:
            folder = wp.install_basic_product(channel="rovozazo")
            shutil.copy2(UNSIGNED_LAUNCHER, folder / "helper.exe")
            wp.run_uninstaller(rf"{INSTALL}\helper.exe", rf"{INSTALL}\Uninstall.exe", "/S")
            log = wp.log_text()
            self.assertIn(rf"parent process = {INSTALL}\helper.exe", log)
            self.assertIn("illegal call", log)
            self.assertEqual(wp.temp_copies(), [])

    def test_second_stage_needs_a_token_of_this_machine(self):
        for token in (None, "", "bm90IGEgdG9rZW4=", "!!not base64!!"):
            with self.subTest(token=token), WinePrefix("token") as wp:
                wp.install_basic_product(channel="rovozazo")
                args = ["/S", "/READYUNINSTALL"] + ([f"/CHK={token}"] if token is not None else [])
                wp.run_uninstaller(rf"{INSTALL}\Uninstall.exe", *args)
                log = wp.log_text()
                self.assertIn("illegal call", log)
                self.assertNotIn("pre init check failed", log)

    def test_token_is_bound_to_the_machine_identifier(self):
        with WinePrefix("tokenmid") as wp:
            wp.install_basic_product(channel="rovozazo")
            # Checking any token makes the program compute and store this machine's mid.
            wp.run_uninstaller(rf"{INSTALL}\Uninstall.exe", "/S", "/READYUNINSTALL", "/CHK=x")
            mid = wp.reg_query(r"HKLM\Software\ZemSafe\Liveup", "mid")[:32]
            other_mid = "0123456789abcdef0123456789abcdef"
            self.assertNotEqual(mid, other_mid)
            for key, accepted in ((other_mid, False), (mid, True)):
                with self.subTest(accepted=accepted):
                    wp.log_path.unlink()
                    token = service_double.encode_text("mwvqzem", key.encode("utf-8"))
                    wp.run_uninstaller(rf"{INSTALL}\Uninstall.exe", "/S", "/READYUNINSTALL",
                                       f"/CHK={token}")
                    log = wp.log_text()
                    self.assertEqual("illegal call" in log, not accepted, log)
                    # Past the caller check, the next stop here is the missing engine beside it.
                    self.assertEqual("pre init check failed, ret = 3" in log, accepted, log)


class SecondStageChecks(unittest.TestCase):
    def test_uninstaller_not_signed_by_the_maker_stops(self):
        for name, make in (("unsigned", unsigned_copy), ("tampered", tampered_copy)):
            with self.subTest(name), WinePrefix(name) as wp:
                folder = wp.install_basic_product()
                make(folder / "Uninstall.exe")
                shutil.copy2(BUILD_DIR / "dist" / "7z.dll", folder / "7z.dll")
                wp.run_uninstaller(rf"{INSTALL}\Uninstall.exe", "/READYUNINSTALL")
                log = wp.log_text()
                self.assertIn("pre init check failed, ret = 2", log)
                self.assertIn(DAMAGED, log)

    def test_broken_archive_engine_stops(self):
        for name, content in (("missing", None), ("corrupted", b"MZ" + b"\0" * 4000)):
            with self.subTest(name), WinePrefix("engine") as wp:
                folder = wp.install_basic_product()
                if content is not None:
                    (folder / "7z.dll").write_bytes(content)
                wp.run_uninstaller(rf"{INSTALL}\Uninstall.exe", "/READYUNINSTALL")
                log = wp.log_text()
                self.assertIn("pre init check failed, ret = 3", log)
                self.assertIn("7z.dll文件破坏，请重新下载安装后进行卸载", log)

    def test_damaged_configuration_stops_with_the_download_offer(self):
        with WinePrefix("badconfig") as wp:
            folder = wp.install_basic_product()
            shutil.copy2(TOOLS / "Uninstall_damaged_config.exe", folder / "Uninstall.exe")
            shutil.copy2(BUILD_DIR / "dist" / "7z.dll", folder / "7z.dll")
            wp.run_uninstaller(rf"{INSTALL}\Uninstall.exe", "/READYUNINSTALL")
            log = wp.log_text()
            self.assertIn("init config failed, exit", log)
            self.assertIn(DAMAGED, log)
            self.assertNotIn("pre init check failed", log)
            self.assertTrue((folder / "Zembase.dll").exists())  # nothing was removed


if __name__ == "__main__":
    main()
