#!/usr/bin/env python3
"""Runs one command with a private service double:  run_with_double.py [options] -- COMMAND...

The double listens on a free loopback port (so it never meets another one that may be running
on the deployment's port) and records into a fresh folder. The command sees
  REPORT_DOUBLE_URL   http://127.0.0.1:<port>
  REPORT_DOUBLE_LOG   the request log, as a Windows path (Z: is Wine's view of /)
  REPORT_DOUBLE_DIR   the folder of the double's files, as a Windows path
The command's exit code is returned; the double is stopped either way.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))


def windows_path(path):
    if os.name == "nt":
        return path
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lifetime", type=float, default=900.0)
    parser.add_argument("--hang-seconds", type=float, default=35.0)
    parser.add_argument("--timeout", type=float, default=600.0, help="seconds for the command")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = [c for c in args.command if c]
    if command and command[0] == "--":
        command = command[1:]
    if not command:
        parser.error("no command")

    port = None
    work = tempfile.mkdtemp(prefix="service-double-")
    port_file = os.path.join(work, "port")
    log = os.path.join(work, "requests.jsonl")
    double = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "service_double.py"), "--port", "0", "--port-file",
         port_file, "--log", log, "--lifetime", str(args.lifetime), "--hang-seconds",
         str(args.hang_seconds)],
        stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 15
        while not os.path.exists(port_file):
            if double.poll() is not None or time.monotonic() > deadline:
                print("run_with_double: the double did not start", file=sys.stderr)
                return 1
            time.sleep(0.05)
        with open(port_file) as f:
            port = int(f.read())
        env = dict(os.environ)
        env["REPORT_DOUBLE_URL"] = "http://127.0.0.1:%d" % port
        env["REPORT_DOUBLE_LOG"] = windows_path(log)
        env["REPORT_DOUBLE_DIR"] = windows_path(work)
        try:
            return subprocess.run(command, env=env, timeout=args.timeout).returncode
        except subprocess.TimeoutExpired:
            print("run_with_double: the command timed out", file=sys.stderr)
            return 1
    finally:
        if port:
            try:
                urllib.request.urlopen("http://127.0.0.1:%d/control/shutdown" % port, timeout=5)
            except OSError:
                pass
        try:
            double.wait(timeout=10)
        except subprocess.TimeoutExpired:
            double.kill()
            double.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
