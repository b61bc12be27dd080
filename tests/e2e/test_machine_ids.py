"""Machine identifiers as the maker's other programs find them in the registry after a run:
"mid" followed by its self-check, "m2" ending in its CRC-8, both kept unchanged by the next run,
and a corrupted stored value replaced with the old one kept aside."""
import struct
import unittest

from harness import WinePrefix, main

MID_KEY = r"HKLM\Software\ZemSafe\Liveup"
M2_KEY = r"HKLM\SOFTWARE\Quorvane"

# ---- an independent MD5 with the double finalization the stored check uses -----------------
_K = [int(abs(__import__("math").sin(i + 1)) * 2**32) & 0xFFFFFFFF for i in range(64)]
_S = [7, 12, 17, 22] * 4 + [5, 9, 14, 20] * 4 + [4, 11, 16, 23] * 4 + [6, 10, 15, 21] * 4


def _rotl(x, n):
    return ((x << n) | (x >> (32 - n))) & 0xFFFFFFFF


def _block(state, data):
    x = struct.unpack("<16I", data)
    a, b, c, d = state
    for i in range(64):
        if i < 16:
            f, g = (b & c) | (~b & d), i
        elif i < 32:
            f, g = (d & b) | (~d & c), (5 * i + 1) % 16
        elif i < 48:
            f, g = b ^ c ^ d, (3 * i + 5) % 16
        else:
            f, g = c ^ (b | (~d & 0xFFFFFFFF)), (7 * i) % 16
        a, d, c, b = d, c, b, (b + _rotl((a + (f & 0xFFFFFFFF) + _K[i] + x[g]) & 0xFFFFFFFF, _S[i])) & 0xFFFFFFFF
    return [(s + v) & 0xFFFFFFFF for s, v in zip(state, (a, b, c, d))]


def mid_hash(text: bytes) -> str:
    """MD5 over the first 259 bytes, finalized twice: each finalization pads through the
    context (the count grows by the padding) and processes the count in the last block."""
    state, count, buf = [0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476], 0, bytearray(64)

    def update(data):
        nonlocal state, count
        for byte in data:
            buf[count % 64] = byte
            count += 1
            if count % 64 == 0:
                state = _block(state, bytes(buf))

    def finalize():
        nonlocal state
        bits = count * 8
        update(b"\x80" + b"\0" * ((55 - count % 64) % 64))
        buf[56:64] = struct.pack("<Q", bits)
        state = _block(state, bytes(buf))

    update(text[:259])
    finalize()
    finalize()
    return struct.pack("<4I", *state).hex()


def crc8(data: bytes) -> int:
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8C if crc & 1 else crc >> 1
    return crc


class MachineIds(unittest.TestCase):
    def run_silent(self, wp):
        wp.install_basic_product(channel="rovozazo")
        wp.run_silent_uninstall()
        return wp.log_text()

    def assert_valid_mid(self, stored):
        self.assertIsNotNone(stored)
        self.assertRegex(stored, r"^[0-9a-f]{64}$")
        self.assertEqual(stored[32:], mid_hash(stored[:32].encode()))

    def assert_valid_m2(self, stored):
        self.assertIsNotNone(stored)
        self.assertRegex(stored, r"^[0-9a-f]{44}$")
        self.assertEqual(int(stored[42:], 16), crc8(stored[:42].encode()))

    def test_known_digest(self):
        # The stored-value check must agree with the values unit tests pin down.
        self.assertEqual(mid_hash(b"abc"), "ab32b7d610b8276088dc6cdcfe9adbf3")
        self.assertEqual(crc8(b"123456789"), 0xA1)

    def test_identifiers_are_stored_and_stable(self):
        with WinePrefix("machineids") as wp:
            log = self.run_silent(wp)
            self.assertNotIn("illegal call", log)
            mid = wp.reg_query(MID_KEY, "mid")
            self.assert_valid_mid(mid)
            m2 = wp.reg_query(M2_KEY, "m2", view=32)
            self.assert_valid_m2(m2)

            self.run_silent(wp)
            self.assertEqual(wp.reg_query(MID_KEY, "mid"), mid)
            self.assertEqual(wp.reg_query(M2_KEY, "m2", view=32), m2)
            self.assertIsNone(wp.reg_query(MID_KEY, "mid_old"))
            self.assertIsNone(wp.reg_query(M2_KEY, "m2_old", view=32))

    def test_corrupted_values_are_replaced(self):
        bad_mid = "0123456789abcdef0123456789abcdef" + "0" * 32
        bad_m2 = "dd9a7c9c3c07b27f45a11992d2ef299a78af3c7b2b00"  # wrong check digits
        with WinePrefix("machineids-bad") as wp:
            wp.reg_add(MID_KEY, "mid", bad_mid)
            wp.reg_add(M2_KEY, "m2", bad_m2, view=32)
            log = self.run_silent(wp)
            self.assertNotIn("illegal call", log)
            mid = wp.reg_query(MID_KEY, "mid")
            self.assert_valid_mid(mid)
            self.assertEqual(wp.reg_query(MID_KEY, "mid_old"), bad_mid)
            m2 = wp.reg_query(M2_KEY, "m2", view=32)
            self.assert_valid_m2(m2)
            self.assertEqual(wp.reg_query(M2_KEY, "m2_old", view=32), bad_m2)


if __name__ == "__main__":
    main()
