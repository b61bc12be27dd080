#!/usr/bin/env python3
"""Packs the configuration archive embedded in Uninstall.exe.

pack_config.py <7zz> <output.7z> <staging dir> <source files...>

Each source (UTF-8 XML in the repository) is written to the staging directory as UTF-16 LE with a
byte-order mark, its XML declaration saying so, and the files are packed with 7zz into a 7z
archive with LZMA2, names without folders.
"""
import os
import subprocess
import sys


def main() -> int:
    seven_zip, output, staging, *sources = sys.argv[1:]
    os.makedirs(staging, exist_ok=True)
    names = []
    for source in sources:
        with open(source, encoding="utf-8") as f:
            text = f.read()
        text = text.replace('encoding="UTF-8"', 'encoding="UTF-16"', 1)
        name = os.path.basename(source)
        with open(os.path.join(staging, name), "wb") as f:
            f.write(b"\xff\xfe" + text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-16-le"))
        names.append(name)
    if os.path.exists(output):
        os.remove(output)
    subprocess.run([seven_zip, "a", "-t7z", "-m0=lzma2", "-mx=9", "-bd", "-bso0",
                    os.path.abspath(output), *names], cwd=staging, check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
