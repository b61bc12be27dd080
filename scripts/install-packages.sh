#!/usr/bin/env bash
# Installs the Debian packages the build and the Wine tests need. Idempotent; run as root.
set -euo pipefail

need=(g++-mingw-w64-i686-posix mingw-w64-i686-dev wine wine32:i386 wine64 xvfb xauth x11-utils
      xdotool imagemagick 7zip cmake ninja-build googletest dpkg-dev osslsigncode openssl
      fonts-wqy-microhei fonts-wqy-zenhei python3 clang-format)

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  missing+=(wine32:i386)
fi

# Source packages (cjson, 7zip) need deb-src entries next to the binary ones.
src_list=/etc/apt/sources.list.d/debian-src.sources
if [ ! -f "$src_list" ] && [ -f /etc/apt/sources.list.d/debian.sources ]; then
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$src_list"
  missing+=(__update__)
fi

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  pkgs=()
  for p in "${missing[@]}"; do [ "$p" = __update__ ] || pkgs+=("$p"); done
  [ ${#pkgs[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${pkgs[@]}"
fi
