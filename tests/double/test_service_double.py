#!/usr/bin/env python3
"""Checks the service double itself: its cipher against published Blowfish vectors, its answers,
modes and control paths, its request log and its own end."""

import json
import os
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import service_double  # noqa: E402


class BlowfishTest(unittest.TestCase):
    def test_published_vectors(self):
        # Key, plaintext, ciphertext (Eric Young's test set).
        vectors = [
            ("0000000000000000", "0000000000000000", "4ef997456198dd78"),
            ("ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"),
            ("0123456789abcdef", "1111111111111111", "61f9c3802281b096"),
            ("fedcba9876543210", "0123456789abcdef", "0aceab0fc6a0a28d"),
        ]
        for key, plain, cipher in vectors:
            bf = service_double.Blowfish(bytes.fromhex(key))
            self.assertEqual(bf.encrypt(bytes.fromhex(plain)).hex(), cipher)
            self.assertEqual(bf.decrypt(bytes.fromhex(cipher)).hex(), plain)

    def test_text_round_trip_pads_only_partial_blocks(self):
        for text in ["", "a", "12345678", "123456789", "\u58c1\u7eb8"]:
            encoded = service_double.encode_text(text, service_double.REPORT_KEY)
            raw = len(text.encode("utf-8"))
            self.assertEqual(len(service_double.base64.b64decode(encoded)), (raw + 7) // 8 * 8)
            self.assertEqual(service_double.decode_text(encoded, service_double.REPORT_KEY), text)


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.dir.name, "requests.jsonl")
        port_file = os.path.join(self.dir.name, "port")
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "service_double.py"), "--port", "0",
             "--port-file", port_file, "--log", self.log, "--lifetime", "60",
             "--hang-seconds", "5", "--mode", "/live/uninstall/addFeedback=error"],
            stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(port_file) and time.monotonic() < deadline:
            time.sleep(0.05)
        with open(port_file) as f:
            self.base = "http://127.0.0.1:%s" % f.read()

    def tearDown(self):
        try:
            self.get("/control/shutdown")
        except OSError:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.dir.cleanup()

    def get(self, path, data=None, timeout=10):
        body = urllib.parse.urlencode(data).encode() if data is not None else None
        with urllib.request.urlopen(self.base + path, body, timeout=timeout) as reply:
            return reply.status, reply.read().decode("utf-8", "replace")

    def records(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as f:
            return [json.loads(line) for line in f]

    def test_answers_and_log(self):
        self.assertEqual(self.get("/dot?ptype=kestipaper&pid=&action=a")[1], "ok")
        status, body = self.get("/live/intf/getUninstallOptions?appver=1&modver=2&pid=3")
        self.assertEqual(json.loads(body), {"errno": 0, "data": "1,3"})
        status, body = self.get("/live/intf/GetConfig?appver=1")
        url = json.loads(body)["data"]["uninstall_questionnaire"]["url"]
        self.assertTrue(url.startswith(self.base))
        # The command line's mode applies from the start.
        self.assertEqual(json.loads(self.get("/live/uninstall/addFeedback?", {"phone": "1"})[1])["errno"], 1)
        records = self.records()
        self.assertEqual([r["path"] for r in records],
                         ["/dot", "/live/intf/getUninstallOptions", "/live/intf/GetConfig",
                          "/live/uninstall/addFeedback"])
        self.assertEqual(records[0]["query"], [["ptype", "kestipaper"], ["pid", ""], ["action", "a"]])
        self.assertEqual(records[3]["method"], "POST")
        self.assertEqual(records[3]["form"], [["phone", "1"]])

    def test_report_host_decrypts_and_echoes_mid2(self):
        record = json.dumps({"type": "set", "mid2": "m2value"})
        data = service_double.encode_text(record, service_double.REPORT_KEY)
        _, body = self.get("/pc/udda/dogsun", {"data": data})
        reply = service_double.decode_text(body, service_double.REPORT_KEY)
        self.assertIn("m2value", reply)
        _, body = self.get("/pc/udda/dogsun", {"data": "not base64"})
        self.assertNotIn("m2value", service_double.decode_text(body, service_double.REPORT_KEY))
        decoded = [r.get("decoded") for r in self.records()]
        self.assertEqual(decoded, [record, None])

    def test_modes(self):
        path = "/live/intf/getUninstallOptions"
        cases = [
            ("fail", 500, None),
            ("errno_string", 200, lambda b: json.loads(b)["errno"] == "0"),
            ("garbage", 200, lambda b: not b.startswith("{")),
            ("body:{\"errno\":0,\"data\":\"2,,3\"}", 200, lambda b: json.loads(b)["data"] == "2,,3"),
        ]
        for mode, status, check in cases:
            with self.subTest(mode=mode):
                self.get("/control/mode?" + urllib.parse.urlencode({"path": path, "mode": mode}))
                try:
                    got, body = self.get(path)
                except urllib.error.HTTPError as error:
                    got, body = error.code, ""
                self.assertEqual(got, status)
                if check:
                    self.assertTrue(check(body), body)
        self.get("/control/reset")
        self.assertEqual(json.loads(self.get(path)[1])["data"], "1,3")
        # A hang ends by itself within the configured bound.
        self.get("/control/mode?path=*&mode=hang:1")
        start = time.monotonic()
        self.assertEqual(self.get("/dot")[1], "ok")
        self.assertGreaterEqual(time.monotonic() - start, 0.9)
        with self.assertRaises(urllib.error.HTTPError):
            self.get("/control/mode?path=/dot&mode=nonsense")

    def test_stops_by_itself(self):
        process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "service_double.py"), "--port", "0",
             "--lifetime", "1"], stdout=subprocess.DEVNULL)
        self.assertEqual(process.wait(timeout=15), 0)


if __name__ == "__main__":
    unittest.main()
