# The cross-build toolchain and a Wine of the tests' own, for scripts that
# build and test the Windows executable.

# Installs MinGW-w64 for 32-bit Windows, Wine and GoogleTest's sources when
# missing. Wine's 32-bit half comes from the i386 architecture; Wine is
# installed with its recommended packages, as Debian means it to run.
ensure_windows_toolchain() {
    ensure_packages googletest
    local missing=()
    for package in g++-mingw-w64-i686 wine wine32:i386 wine64; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Creates a fresh Wine prefix in $1 and starts its wineserver, kept
# running until stop_wine (wine programs then start fast). Wine's services are
# started here, with their output going to a log file: started later by a
# program whose output goes to a pipe, they would hold that pipe open.
start_wine() {
    # Debian's default 64-bit prefix: a 32-bit program finds its system
    # directory, C:\windows\system32, in drive_c/windows/syswow64.
    export WINEPREFIX="$1" WINEDEBUG=-all
    unset WINEARCH
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true  # one left running by an interrupted run
        rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1
    # No display, and no offer to install Mono or Gecko: the first boot runs
    # unattended.
    echo "Creating the Wine prefix $WINEPREFIX" >&2
    if ! env -u DISPLAY -u WAYLAND_DISPLAY WINEDLLOVERRIDES="mscoree,mshtml=" \
            wineboot -i </dev/null >"$WINEPREFIX.log" 2>&1; then
        cat "$WINEPREFIX.log" >&2
        return 1
    fi
}

stop_wine() {
    wineserver -k 2>/dev/null || true
}
