#!/usr/bin/env python3
"""Makes the archive fixtures of the configuration tests.

make_fixtures.py <7zz> <shipped archive> <output dir>

- hostile.7z: a 7z whose items are named to escape the output folder ("../../x", "C:/x", "/x",
  "sub/../../x", ".../x") next to one good item, made by renaming items with 7zz;
- corrupt.7z / truncated.7z: the shipped archive with one packed byte flipped / cut short;
- hostile.cab: an uncompressed cabinet with a good entry, a nested one, and entries whose names
  leave the folder or merely contain "..";
- blob4096.bin / blob4097.bin: resources of exactly those sizes.
"""
import os
import struct
import subprocess
import sys

# 7zz on Linux stores "/" as the path separator (the engine hands it out as "\\" on Windows) and a
# literal backslash as a private-use character, so the escaping names are written with "/".
HOSTILE_7Z_NAMES = {
    "a.txt": "../../config_escape_a.txt",
    "b.txt": "C:/config_escape_b.txt",
    "c.txt": "/config_escape_c.txt",
    "d.txt": "sub/../../config_escape_d.txt",
    "e.txt": ".../config_escape_e.txt",
}


def make_hostile_7z(seven_zip, out_dir):
    work = os.path.join(out_dir, "hostile")
    os.makedirs(work, exist_ok=True)
    names = list(HOSTILE_7Z_NAMES) + ["good.txt"]
    for name in names:
        with open(os.path.join(work, name), "w") as f:
            f.write(f"content of {name}\n")
    archive = os.path.join(out_dir, "hostile.7z")
    if os.path.exists(archive):
        os.remove(archive)
    quiet = ["-bd", "-bso0"]
    subprocess.run([seven_zip, "a", *quiet, archive, *names], cwd=work, check=True)
    renames = [part for pair in HOSTILE_7Z_NAMES.items() for part in pair]
    subprocess.run([seven_zip, "rn", *quiet, archive, *renames], cwd=work, check=True)


def make_damaged(shipped, out_dir):
    data = bytearray(open(shipped, "rb").read())
    # The packed streams start right after the 32-byte signature header.
    corrupt = bytearray(data)
    corrupt[32 + 40] ^= 0x55
    open(os.path.join(out_dir, "corrupt.7z"), "wb").write(corrupt)
    open(os.path.join(out_dir, "truncated.7z"), "wb").write(data[: len(data) - 40])


def make_cab(out_dir):
    entries = [
        ("good.txt", b"good cabinet entry\r\n"),
        ("sub\\inner.txt", b"nested cabinet entry\r\n"),
        ("..\\cab_escape.txt", b"must not be written\r\n"),
        ("sub\\..\\cab_dotdot.txt", b"must not be written either\r\n"),
        ("C:\\cab_escape_drive.txt", b"must not be written\r\n"),
    ]
    payload = b"".join(data for _, data in entries)
    header_size, folder_size = 36, 8
    files = b""
    offset = 0
    for name, data in entries:
        # size, offset in folder, folder 0, date 2026-12-11, time 12:00, attribute archive
        files += struct.pack("<IIHHHH", len(data), offset, 0, ((2026 - 1980) << 9) | (12 << 5) | 11,
                             12 << 11, 0x20) + name.encode("ascii") + b"\0"
        offset += len(data)
    files_offset = header_size + folder_size
    data_offset = files_offset + len(files)
    block = struct.pack("<IHH", 0, len(payload), len(payload)) + payload  # checksum 0: none
    total = data_offset + len(block)
    header = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, total, 0, files_offset, 0, 3, 1, 1,
                                   len(entries), 0, 0x1234, 0)
    folder = struct.pack("<IHH", data_offset, 1, 0)
    cab = header + folder + files + block
    assert len(cab) == total
    open(os.path.join(out_dir, "hostile.cab"), "wb").write(cab)


def main():
    seven_zip, shipped, out_dir = sys.argv[1:]
    os.makedirs(out_dir, exist_ok=True)
    make_hostile_7z(seven_zip, out_dir)
    make_damaged(shipped, out_dir)
    make_cab(out_dir)
    for size in (4096, 4097):
        open(os.path.join(out_dir, f"blob{size}.bin"), "wb").write(bytes(i * 7 % 251 for i in range(size)))


if __name__ == "__main__":
    main()
