#!/usr/bin/env bash
# Fetches the pinned Debian source packages and builds the third-party pieces into
# <build>/deps. Nothing of theirs is committed. A finished step leaves a stamp, so a rebuild
# does only what is missing.
#   cJSON   -> <build>/deps/cjson/cJSON.{c,h}  (compiled by CMake as a static library)
#   7z.dll  -> <build>/deps/7zip/7z.dll        (the extract-only 7z bundle, C code paths)
# GoogleTest is built by CMake from Debian's googletest package in /usr/src/googletest.
set -euo pipefail

CJSON_VERSION=1.7.15-1+deb12u4
SEVENZIP_VERSION=22.01+really26.02+dfsg-0+deb12u1

build_dir=$(realpath -m "${1:-build}")
deps="$build_dir/deps"
mkdir -p "$deps"

fetch_source() {  # name version -> prints the unpacked folder
    local name=$1 version=$2 dir="$deps/src/$1"
    if [ ! -f "$dir/.stamp-$version" ]; then
        rm -rf "$dir" && mkdir -p "$dir"
        (cd "$dir" && apt-get source -qq "$name=$version" >/dev/null 2>&1) || {
            echo "build-deps: apt-get source $name=$version failed (is a deb-src entry present?" \
                 "scripts/install-packages.sh adds it)" >&2
            exit 1
        }
        touch "$dir/.stamp-$version"
    fi
    find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n 1
}

# --- cJSON ---------------------------------------------------------------------------------
if [ ! -f "$deps/cjson/.stamp-$CJSON_VERSION" ]; then
    src=$(fetch_source cjson "$CJSON_VERSION")
    rm -rf "$deps/cjson" && mkdir -p "$deps/cjson"
    cp "$src/cJSON.c" "$src/cJSON.h" "$deps/cjson/"
    touch "$deps/cjson/.stamp-$CJSON_VERSION"
fi

# --- 7z.dll --------------------------------------------------------------------------------
out="$deps/7zip"
if [ ! -f "$out/.stamp-$SEVENZIP_VERSION" ]; then
    src=$(fetch_source 7zip "$SEVENZIP_VERSION")
    bundle="$src/CPP/7zip/Bundles/Format7zExtractR"
    # The bundle ships only an nmake makefile: turn its object lists into a gcc makefile that
    # includes the common gcc rules.
    python3 - "$bundle" <<'PY'
import re, sys, pathlib
bundle = pathlib.Path(sys.argv[1])
text = (bundle / "makefile").read_text().replace("\\\n", " ")
objs, lists = [], []
for line in text.splitlines():
    m = re.match(r"^\s*([A-Z_0-9]*OBJS)\s*=\s*(.*)$", line)
    if m:
        names = re.findall(r"\$O\\(\w+)\.obj", m.group(2))
        objs += [f"$O/{n}.o" for n in names]
# The nmake file pulls the CRC code from Crc.mak; without assembler both halves are C.
objs += ["$O/7zCrc.o", "$O/7zCrcOpt.o", "$O/resource.o"]
out = ["PROG = 7zxr", "DEF_FILE = ../../Archive/Archive2.def",
       "LOCAL_FLAGS = -DZ7_EXTRACT_ONLY -DZ7_NO_CRYPTO",
       "OBJS = " + " ".join(dict.fromkeys(objs)),
       "include ../../7zip_gcc.mak"]
(bundle / "makefile.gcc").write_text("\n".join(out) + "\n")
PY
    rm -rf "$out/obj" && mkdir -p "$out/obj"
    make -s -C "$bundle" -f ../../cmpl_gcc_x86.mak -j"$(nproc)" \
        CROSS_COMPILE=i686-w64-mingw32- IS_MINGW=1 USE_ASM= DISABLE_RAR=1 \
        RC=i686-w64-mingw32-windres MY_MKDIR="mkdir -p" RM="rm -f" O="$out/obj" >"$out/build.log" 2>&1 || {
        tail -n 30 "$out/build.log" >&2
        echo "build-deps: building 7z.dll failed (log: $out/build.log)" >&2
        exit 1
    }
    dll=$(find "$out/obj" -maxdepth 1 -iname '7z*.dll' | head -n 1)
    [ -n "$dll" ] || { echo "build-deps: no 7z.dll produced" >&2; exit 1; }
    i686-w64-mingw32-strip -o "$out/7z.dll" "$dll"
    exports=$(i686-w64-mingw32-objdump -p "$out/7z.dll")
    if ! grep -qw CreateObject <<<"$exports"; then
        echo "build-deps: 7z.dll does not export CreateObject" >&2
        exit 1
    fi
    touch "$out/.stamp-$SEVENZIP_VERSION"
fi
echo "build-deps: ready in $deps"
