"""What a silent uninstall tells the maker's services: the statistics events with the product's
and the machine's identifiers, the uninstall-information report, and the OEM host override; and
that a dead or hanging service never stops the uninstall."""
import shutil
import sys
import time
import unittest

from harness import SOURCE_DIR, UNINSTALL_EXE, ServiceDouble, WinePrefix, main

sys.path.insert(0, str(SOURCE_DIR / "tests" / "double"))
import service_double  # noqa: E402  (its Blowfish is the tests' own, independent of the program)

TEMPLATE_KEYS = ["ptype", "pid", "type", "action", "appver", "mid", "mid2"]
OEM_PARENT = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\Zemwpapp.exe"


def install(wp):
    folder = wp.install_basic_product(channel="rovozazo")
    # A main program with version information, so that appver has a value (1.0.0.1).
    shutil.copy2(UNINSTALL_EXE, folder / "kestiwp.exe")
    return folder


def silent_uninstall(wp, timeout=180):
    started = time.monotonic()
    wp.run_silent_uninstall(timeout=timeout)
    return time.monotonic() - started


class Reporting(unittest.TestCase):
    def test_events_carry_the_product_and_machine_identifiers(self):
        with WinePrefix("stats") as wp, ServiceDouble() as double:
            install(wp)
            silent_uninstall(wp)
            mid_stored = wp.reg_query(r"HKLM\Software\ZemSafe\Liveup", "mid")
            mid2 = wp.reg_query(r"HKLM\SOFTWARE\Quorvane", "m2", view=32)
            self.assertEqual(len(mid_stored), 64)
            self.assertEqual(len(mid2), 44)

            events = double.events()
            actions = [a for a, _, _ in events]
            self.assertIn("uninstall_from", actions)
            self.assertLess(actions.index("uninstall_from"), actions.index("uninstall_1"))
            self.assertIn("uninstall_2", actions)
            for action, query, host in events:
                with self.subTest(action=action):
                    self.assertEqual([k for k, _ in query][:7], TEMPLATE_KEYS)
                    values = dict(query)
                    self.assertEqual(values["ptype"], "kestipaper")
                    self.assertEqual(values["type"], "bizhi")
                    self.assertEqual(values["pid"], "rovozazo")
                    self.assertEqual(values["appver"], "1.0.0.1")
                    self.assertEqual(values["mid"], mid_stored[:32])
                    self.assertEqual(values["mid2"], mid2)
                    self.assertEqual(host, "127.0.0.1:18480")
            frm = dict(events[actions.index("uninstall_from")][1])
            self.assertEqual(frm["ex1"], "launcher")
            self.assertRegex(frm["ex2"], r"^\d+\.\d+$")

    def test_uninstall_information_report_decrypts_to_this_machine(self):
        with WinePrefix("unistinfo") as wp, ServiceDouble() as double:
            install(wp)
            silent_uninstall(wp)
            reports = double.requests("/pc/udda/dogsun")
            self.assertEqual(len(reports), 1, reports)
            form = dict(tuple(p) for p in reports[0]["form"])
            plain = service_double.decode_text(form["data"], service_double.REPORT_KEY)
            info = service_double.json.loads(plain)
            self.assertEqual(info["mid"], wp.reg_query(r"HKLM\Software\ZemSafe\Liveup", "mid")[:32])
            self.assertEqual(info["mid2"], wp.reg_query(r"HKLM\SOFTWARE\Quorvane", "m2", view=32))
            self.assertIn("re unistinfo ret=1", wp.log_text())

    def test_oem_override_rewrites_the_statistics_host(self):
        with WinePrefix("oem") as wp, ServiceDouble() as double:
            install(wp)
            wp.reg_add(OEM_PARENT, "oem_f", "1")
            key = service_double.OEM_KEY
            wp.reg_add(OEM_PARENT + r"\oemconfig", service_double.encode_text("statis", key),
                       service_double.encode_text("localhost", key))
            silent_uninstall(wp)
            hosts = {host for _, _, host in double.events()}
            self.assertEqual(hosts, {"localhost:18480"})


class ServiceFailures(unittest.TestCase):
    def test_uninstall_finishes_whatever_the_service_does(self):
        for mode in ("down", "*=fail", "*=garbage", "/pc/udda/dogsun=hang:60"):
            with self.subTest(mode=mode), WinePrefix("failing") as wp:
                folder = install(wp)
                if mode == "down":
                    seconds = silent_uninstall(wp)
                else:
                    with ServiceDouble(mode):
                        seconds = silent_uninstall(wp, timeout=240)
                log = wp.log_text()
                self.assertIn("re unistinfo ret=0", log)
                self.assertIn("CInstallingModel::OnRealInstallEnd", log)
                self.assertFalse((folder / "Zembase.dll").exists())
                self.assertLess(seconds, 120)  # the report gives up after 30 s


if __name__ == "__main__":
    main()
