# Shared by scripts/test.sh and scripts/demo.sh (which set $here to the checkout): the build, one
# Xvfb display for the whole session, and the Wine prefixes it made (only their wineservers are
# stopped at the end).
session_prefixes=()
xvfb_pid=
build="$here/build"

# Installs the packages (as root) and builds everything into build/.
prepare_build() {
    if [ "$(id -u)" = 0 ]; then
        bash "$here/scripts/install-packages.sh"
    fi
    cmake --preset mingw >/dev/null
    cmake --build --preset mingw -j2
}

start_display() {
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x800x24 -noreset -nolisten tcp >/dev/null 2>&1 &
        xvfb_pid=$!
        sleep 1
        if kill -0 "$xvfb_pid" 2>/dev/null; then
            export DISPLAY=":$n"
            return 0
        fi
    done
    echo "no free X display for Xvfb" >&2
    return 1
}

remember_prefix() { session_prefixes+=("$1"); }

make_prefix() {
    local prefix=$1 root_cert="${build:?}/pki/root.der"
    bash "$here/tests/wine/make-prefix.sh" "$prefix" "$([ -f "$root_cert" ] && echo "$root_cert")"
    remember_prefix "$prefix"
}

stop_session() {
    local p
    for p in "${session_prefixes[@]}"; do
        WINEPREFIX=$p wineserver -k >/dev/null 2>&1 || true
    done
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
