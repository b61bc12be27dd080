#!/usr/bin/env python3
"""A local stand-in for the product's network services, for tests and demonstrations.

One loopback port serves the statistics endpoint (GET /dot), the product's web service
(/live/...) and the report host (/pc/udda/dogsun). Every request is appended to a JSON-lines
file (method, path, raw and parsed query, raw and parsed form fields, and for the report the
decrypted payload) for the tests to read.

Behaviour per path can be changed, at start with --mode PATH=MODE or at run time with
GET /control/mode?path=PATH&mode=MODE (PATH "*" means every path):
  normal        the built-in answer
  fail          HTTP 500
  drop          close the connection without an answer
  hang          answer normally only after --hang-seconds (bounded by the lifetime)
  hang:N        the same after N seconds
  garbage       HTTP 200 with a body that is neither JSON nor Base64
  error         HTTP 200 with {"errno": 1, "msg": ...}
  errno_string  HTTP 200 with the normal answer whose "errno" is the string "0"
  redirect      HTTP 302 to /dot
  big           HTTP 200 with a 2 MiB body
  body:TEXT     HTTP 200 with TEXT as the body
GET /control/reset restores every path to normal; GET /control/shutdown stops the server.
Control requests are not recorded. The server stops by itself after --lifetime seconds.

Python 3 standard library only. Listens on 127.0.0.1 only.
"""

import argparse
import base64
import json
import os
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

REPORT_KEY = b"e4a71d05-6b3c-4f82-8d19-07c3fb52e6a8"
OEM_KEY = b"3E1D0C5A-9B2F-4C61-8A07-D4E2B9C1F05B"
MAX_BODY = 1024 * 1024


# --- Blowfish (ECB, big-endian half blocks, zero-filled last block) --------------------------

def _pi_hex_words(count):
    """The first `count` 32-bit words of the fractional hex digits of pi: Blowfish's initial
    tables. Computed with Machin's formula rather than pasted, so the tables cannot be mistyped."""
    bits = count * 32 + 64
    one = 1 << bits

    def arctan_inv(x):
        total, term, n, sign = 0, one // x, 1, 1
        while term:
            total += sign * (term // n)
            term //= x * x
            n += 2
            sign = -sign
        return total

    pi = 4 * (4 * arctan_inv(5) - arctan_inv(239))
    frac = (pi - 3 * one) >> 64
    digits = frac.to_bytes(count * 4, "big")
    return [int.from_bytes(digits[i * 4:i * 4 + 4], "big") for i in range(count)]


_INIT = _pi_hex_words(18 + 4 * 256)


class Blowfish:
    def __init__(self, key):
        self.p = list(_INIT[:18])
        self.s = [list(_INIT[18 + 256 * i:18 + 256 * (i + 1)]) for i in range(4)]
        k = 0
        for i in range(18):
            word = 0
            for _ in range(4):
                word = (word << 8) | key[k % len(key)]
                k += 1
            self.p[i] ^= word
        left = right = 0
        for i in range(0, 18, 2):
            left, right = self._encrypt(left, right)
            self.p[i], self.p[i + 1] = left, right
        for box in self.s:
            for i in range(0, 256, 2):
                left, right = self._encrypt(left, right)
                box[i], box[i + 1] = left, right

    def _f(self, x):
        s = self.s
        h = (s[0][x >> 24] + s[1][(x >> 16) & 255]) & 0xFFFFFFFF
        return ((h ^ s[2][(x >> 8) & 255]) + s[3][x & 255]) & 0xFFFFFFFF

    def _encrypt(self, left, right):
        for i in range(16):
            left ^= self.p[i]
            right ^= self._f(left)
            left, right = right, left
        left, right = right, left
        right ^= self.p[16]
        left ^= self.p[17]
        return left, right

    def _decrypt(self, left, right):
        for i in range(17, 1, -1):
            left ^= self.p[i]
            right ^= self._f(left)
            left, right = right, left
        left, right = right, left
        right ^= self.p[1]
        left ^= self.p[0]
        return left, right

    def _blocks(self, data, fn):
        out = bytearray()
        for i in range(0, len(data), 8):
            left = int.from_bytes(data[i:i + 4], "big")
            right = int.from_bytes(data[i + 4:i + 8], "big")
            left, right = fn(left, right)
            out += left.to_bytes(4, "big") + right.to_bytes(4, "big")
        return bytes(out)

    def encrypt(self, data):
        if len(data) % 8:
            data = data + b"\0" * (8 - len(data) % 8)
        return self._blocks(data, self._encrypt)

    def decrypt(self, data):
        if len(data) % 8:
            raise ValueError("not a whole number of blocks")
        return self._blocks(data, self._decrypt)


def encode_text(text, key):
    """UTF-8, Blowfish, Base64: what the program's writer produces."""
    return base64.b64encode(Blowfish(key).encrypt(text.encode("utf-8"))).decode("ascii")


def decode_text(encoded, key):
    """The reverse of encode_text; the plaintext ends at its first zero byte."""
    plain = Blowfish(key).decrypt(base64.b64decode(encoded, validate=True))
    return plain.split(b"\0", 1)[0].decode("utf-8")


# --- The server ---------------------------------------------------------------------------

MODES = {"normal", "fail", "drop", "hang", "garbage", "error", "errno_string", "redirect", "big"}


class State:
    def __init__(self, args):
        self.lock = threading.Lock()
        self.rules = {}
        self.log_path = args.log
        self.hang_seconds = args.hang_seconds
        self.stopping = threading.Event()
        self.port = 0
        for item in args.mode or []:
            path, _, mode = item.partition("=")
            self.set_mode(path, mode)

    def set_mode(self, path, mode):
        if mode.startswith("hang:"):
            float(mode[5:])  # raises ValueError for a bad number
        elif mode not in MODES and not mode.startswith("body:"):
            raise ValueError("unknown mode " + mode)
        with self.lock:
            if mode == "normal":
                self.rules.pop(path, None)
            else:
                self.rules[path] = mode

    def mode_for(self, path):
        with self.lock:
            return self.rules.get(path, self.rules.get("*", "normal"))

    def record(self, entry):
        if not self.log_path:
            return
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self.lock:
            with open(self.log_path, "a", encoding="utf-8") as f:
                f.write(line)


def default_answer(state, path, form):
    """(status, body, extra record fields) of a path in normal mode, or None for 404."""
    ok = {"errno": 0, "msg": "ok"}
    if path == "/dot":
        return 200, "ok", {}
    if path == "/live/intf/GetConfig":
        url = "http://127.0.0.1:%d/questionnaire" % state.port
        data = {"uninstall_questionnaire": {"status": "1", "url": url}}
        return 200, json.dumps({"errno": 0, "data": data}), {}
    if path == "/live/intf/getUninstallOptions":
        return 200, json.dumps({"errno": 0, "data": "1,3"}), {}
    if path == "/live/uninstall/getBdouByUninstall":
        data = {"openid_encrypt_self": "double-openid", "openkey": "double-openkey"}
        return 200, json.dumps(dict(ok, data=data)), {}
    if path in ("/live/uninstall/sendSmsCode", "/live/uninstall/addFeedback",
                "/live/uninstall/addUninstallReason"):
        return 200, json.dumps(ok), {}
    if path == "/pc/udda/dogsun":
        fields = dict(form)
        try:
            decoded = decode_text(fields.get("data", ""), REPORT_KEY)
            info = json.loads(decoded)
            reply = {"ret": 1, "mid2": info.get("mid2", "")}
        except (ValueError, UnicodeDecodeError):
            decoded, reply = None, {"ret": 0}
        return 200, encode_text(json.dumps(reply), REPORT_KEY), {"decoded": decoded}
    if path in ("/questionnaire", "/account") or path.startswith("/download/"):
        return 200, "<html><body>double</body></html>", {}
    return None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ServiceDouble/1.0"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        self.handle_request()

    def do_POST(self):
        self.handle_request()

    def send_text(self, status, body, content_type="application/json; charset=utf-8",
                  headers=()):
        data = body.encode("utf-8") if isinstance(body, str) else body
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def handle_control(self, path, query):
        state = self.server.state
        params = dict(query)
        if path == "/control/mode":
            try:
                state.set_mode(params.get("path", "*"), params.get("mode", "normal"))
            except ValueError as error:
                return self.send_text(400, str(error), "text/plain")
            return self.send_text(200, "ok", "text/plain")
        if path == "/control/reset":
            with state.lock:
                state.rules.clear()
            return self.send_text(200, "ok", "text/plain")
        if path == "/control/shutdown":
            self.send_text(200, "ok", "text/plain")
            state.stopping.set()
            threading.Thread(target=self.server.shutdown, daemon=True).start()
            return None
        return self.send_text(404, "unknown control", "text/plain")

    def handle_request(self):
        state = self.server.state
        parts = urllib.parse.urlsplit(self.path)
        path = parts.path
        query = urllib.parse.parse_qsl(parts.query, keep_blank_values=True, errors="replace")
        if path.startswith("/control/"):
            return self.handle_control(path, query)

        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_BODY:
            self.close_connection = True
            return self.send_text(413, "too large", "text/plain")
        raw_body = self.rfile.read(length) if length else b""
        form = urllib.parse.parse_qsl(raw_body.decode("latin-1"), keep_blank_values=True,
                                      encoding="utf-8", errors="replace")
        mode = state.mode_for(path)
        answer = default_answer(state, path, form)
        entry = {
            "time": time.time(),
            "method": self.command,
            "path": path,
            "host": self.headers.get("Host", ""),
            "raw_query": parts.query,
            "query": [list(pair) for pair in query],
            "raw_body": raw_body.decode("latin-1"),
            "form": [list(pair) for pair in form],
            "mode": mode,
        }
        if answer:
            entry.update(answer[2])
        state.record(entry)

        if mode == "drop":
            self.close_connection = True
            return None
        if mode == "hang" or mode.startswith("hang:"):
            seconds = state.hang_seconds if mode == "hang" else float(mode[5:])
            state.stopping.wait(max(0.0, min(seconds, state.hang_seconds)))
            if state.stopping.is_set():
                self.close_connection = True
                return None
        if mode == "fail":
            return self.send_text(500, "internal error", "text/plain")
        if mode == "garbage":
            return self.send_text(200, b"<<garbage \x01\xff not json>>", "text/plain")
        if mode == "error":
            return self.send_text(200, json.dumps({"errno": 1, "msg": "double error"}))
        if mode == "redirect":
            return self.send_text(302, "moved", "text/plain", [("Location", "/dot")])
        if mode == "big":
            return self.send_text(200, b"x" * (2 * 1024 * 1024), "text/plain")
        if mode.startswith("body:"):
            return self.send_text(200, mode[5:])
        if answer is None:
            return self.send_text(404, "not found", "text/plain")
        status, body = answer[0], answer[1]
        if mode == "errno_string" and body.startswith("{"):
            data = json.loads(body)
            data["errno"] = "0"
            body = json.dumps(data)
        return self.send_text(status, body)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that gives up (a timeout, a cancelled request) is part of the tests.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=18480, help="0 picks a free port")
    parser.add_argument("--port-file", help="write the port here once listening")
    parser.add_argument("--log", "--record", dest="log", help="JSON-lines file of the requests")
    parser.add_argument("--lifetime", type=float, default=600.0, help="seconds before stopping")
    parser.add_argument("--hang-seconds", type=float, default=40.0)
    parser.add_argument("--mode", action="append", metavar="PATH=MODE")
    args = parser.parse_args(argv)
    args.lifetime = max(1.0, min(args.lifetime, 6 * 3600.0))
    args.hang_seconds = max(0.0, min(args.hang_seconds, args.lifetime))

    state = State(args)
    server = Server(("127.0.0.1", args.port), Handler)
    server.state = state
    state.port = server.server_address[1]

    def stop_later():
        if not state.stopping.wait(args.lifetime):
            state.stopping.set()
            server.shutdown()

    threading.Thread(target=stop_later, daemon=True).start()
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(str(state.port))
        os.replace(tmp, args.port_file)
    print("listening on http://127.0.0.1:%d" % state.port, flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        state.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
