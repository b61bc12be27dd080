#!/usr/bin/env bash
# Makes a fresh, settled 64-bit Wine prefix for the tests:  make-prefix.sh <folder>
# - wineboot --init, then wineserver -w (services and Task Scheduler fail until it settles);
# - the user's shell folders as real folders (a new prefix links them to $HOME);
# - fonts GDI+ can use, Chinese ones included, and no window-manager delays;
# - the test root certificate trusted, when the build made one (<build>/pki/root.der).
# It stops only this prefix's wineserver.
set -euo pipefail
prefix=$(realpath -m "$1")
root_cert=${2:-}

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
wineboot --init >/dev/null 2>&1
wineserver -w

user_dir="$prefix/drive_c/users/$(id -un)"
for folder in Desktop Documents Downloads Music Pictures Videos; do
    if [ -L "$user_dir/$folder" ]; then
        rm "$user_dir/$folder"
    fi
    mkdir -p "$user_dir/$folder"
done

fonts="$prefix/drive_c/windows/Fonts"
mkdir -p "$fonts"
cp -n /usr/share/wine/fonts/* "$fonts/" 2>/dev/null || true
for f in /usr/share/fonts/truetype/wqy/wqy-microhei.ttc /usr/share/fonts/truetype/wqy/wqy-zenhei.ttc; do
    [ -f "$f" ] && cp -n "$f" "$fonts/"
done

reg_file=$(mktemp --suffix=.reg)
cat >"$reg_file" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Microsoft YaHei"="WenQuanYi Micro Hei"
"SimSun"="WenQuanYi Zen Hei"
REG
# The Chinese names go in a UTF-16 file, which regedit reads without code-page guessing.
python3 - "$reg_file" <<'PY'
import sys
path = sys.argv[1]
text = open(path, encoding="ascii").read().replace("REGEDIT4", "Windows Registry Editor Version 5.00", 1)
text += '"\u5fae\u8f6f\u96c5\u9ed1"="WenQuanYi Micro Hei"\n"\u5b8b\u4f53"="WenQuanYi Zen Hei"\n\n'
text += '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\n'
text += '"Tahoma"=hex(7):' + ",".join(f"{b:02x}" for b in "wqy-microhei.ttc,WenQuanYi Micro Hei\0\0".encode("utf-16-le")) + "\n"
open(path, "w", encoding="utf-16").write(text.replace("\n", "\r\n"))
PY
wine regedit /S "$reg_file" >/dev/null 2>&1
rm -f "$reg_file"

if [ -n "$root_cert" ]; then
    # Trusts the build's test root: add-root.exe (built beside it) puts it in the machine's Root
    # store (shared by the 32-bit and 64-bit views), which every process of the prefix trusts.
    # A helper that fails is an error: Wine's trust provider would not notice an untrusted root,
    # but the signature tests' chain check and real Windows would.
    helper=$(dirname "$root_cert")/add-root.exe
    if [ ! -f "$root_cert" ] || [ ! -f "$helper" ]; then
        echo "make-prefix: warning: $root_cert or $helper is missing (build the tree first);" \
            "the test root is not trusted in $prefix" >&2
    else
        # Output through a file: Wine's helper processes keep an inherited pipe open.
        add_root_log=$(mktemp)
        if ! wine "$helper" "$(winepath -w "$root_cert")" >"$add_root_log" 2>&1; then
            echo "make-prefix: add-root.exe could not trust $root_cert:" >&2
            cat "$add_root_log" >&2
            rm -f "$add_root_log"
            exit 1
        fi
        rm -f "$add_root_log"
    fi
fi
wineserver -w
