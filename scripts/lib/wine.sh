# The cross-build toolchain and a Wine of the tests' own, for scripts that
# build and test the Windows executable. Needs scripts/lib/packages.sh.
#
# Whether Wine can run the tests is found out, not assumed: wine32 may be
# impossible to install on the day (the registry's i386 index lagging behind
# the amd64 one), or installed on a kernel that runs no 32-bit programs. The
# functions below say why in wine_problem, and the scripts then run every
# other test.
wine_problem=""

# MinGW-w64 for 32-bit and 64-bit Windows, GoogleTest's sources to build for
# them, and Wine, 32-bit half included (from the i386 architecture), with its
# recommended packages, as Debian means it to run. Fails only when a
# compiler is missing; Wine that could not be installed is left to
# wine_can_run to report.
ensure_windows_toolchain() {
    ensure_packages g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest
    require_command i686-w64-mingw32-g++-posix g++-mingw-w64-i686
    require_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
    [ -f /usr/src/googletest/CMakeLists.txt ] ||
        { echo "ERROR: GoogleTest sources missing (package googletest): ${package_problem[googletest]:-not installed}" >&2; exit 1; }
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    ensure_packages --recommends wine wine64 wine32:i386
}

# The Wine loaders of 32-bit and of 64-bit Windows programs (/usr/bin/wine
# picks the 32-bit one whenever it is installed, even where it cannot run),
# and why one is missing, if it is.
wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64
wine_missing_reason() {
    local package=$1
    if [ -n "${package_problem[$package]:-}" ]; then
        echo "$package could not be installed: ${package_problem[$package]}"
    else
        echo "$package is not installed"
    fi
}

# wine_loader_starts LOADER: whether the kernel runs the loader at all (a
# 32-bit one needs the kernel's IA-32 emulation). Run by bash itself: env and
# timeout would hand a binary that cannot be executed to /bin/sh as a script,
# hiding the reason.
wine_loader_starts() {
    local output status=0
    output=$("$1" --version 2>&1 </dev/null) || status=$?
    [ $status -eq 0 ] && return 0
    wine_problem="$1 cannot be executed on this machine (exit status $status: $(printf '%s\n' "$output" | tail -1 | sed 's/^.*: line [0-9]*: //'))"
    return 1
}

# wine_can_run LOADER [PACKAGE]: whether LOADER (/usr/lib/wine/wine for
# 32-bit programs, /usr/lib/wine/wine64 for 64-bit ones) runs a Windows
# program of its own word size in $WINEPREFIX (start_wine makes one); if not,
# wine_problem says why. PACKAGE names what provides the loader.
wine_can_run() {
    local loader=$1 package=${2:-} output status=0
    wine_problem=""
    if [ ! -x "$loader" ]; then
        wine_problem="${package:+$(wine_missing_reason "$package"), so }$loader does not exist"
        return 1
    fi
    wine_loader_starts "$loader" || return 1
    # cmd.exe of the loader's word size echoes a word back.
    output=$(timeout 300 env -u DISPLAY -u WAYLAND_DISPLAY WINEDLLOVERRIDES="mscoree,mshtml=" \
        "$loader" cmd /c echo emsgraft-wine-probe </dev/null 2>&1) || status=$?
    [[ $output == *emsgraft-wine-probe* ]] && return 0
    if [ $status -eq 124 ]; then
        wine_problem="$loader ran no Windows program within 300 seconds"
    else
        wine_problem="$loader cannot run a Windows program (exit status $status: $(printf '%s\n' "$output" | grep -v '^[[:space:]]*$' | tail -1))"
    fi
    return 1
}

# start_wine PREFIX [LOADER]: creates a fresh Wine prefix in PREFIX with
# LOADER (default: wine) and starts its wineserver, kept running until
# stop_wine (wine programs then start fast). Wine's services are started here,
# with their output going to a log file: started later by a program whose
# output goes to a pipe, they would hold that pipe open. On failure
# wine_problem says why.
start_wine() {
    local loader=${2:-wine}
    # Debian's default 64-bit prefix: a 32-bit program finds its system
    # directory, C:\windows\system32, in drive_c/windows/syswow64.
    export WINEPREFIX="$1" WINEDEBUG=-all
    unset WINEARCH
    wine_problem=""
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true  # one left running by an interrupted run
        rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$WINEPREFIX"
    if [[ $loader == */* ]]; then
        wine_loader_starts "$loader" || return 1
    fi
    if ! wineserver -p </dev/null >"$WINEPREFIX.log" 2>&1; then
        wine_problem="wineserver does not start: $(tail -1 "$WINEPREFIX.log")"
        return 1
    fi
    # No display, and no offer to install Mono or Gecko: the first boot runs
    # unattended.
    echo "Creating the Wine prefix $WINEPREFIX" >&2
    if ! timeout 600 env -u DISPLAY -u WAYLAND_DISPLAY WINEDLLOVERRIDES="mscoree,mshtml=" \
            "$loader" wineboot -i </dev/null >"$WINEPREFIX.log" 2>&1; then
        wine_problem="$loader cannot create a Wine prefix: $(grep -v '^[[:space:]]*$' "$WINEPREFIX.log" | tail -1)"
        return 1
    fi
}

# stop_wine [PREFIX...]: stops the wineserver of each PREFIX (by default of
# $WINEPREFIX).
stop_wine() {
    command -v wineserver >/dev/null || return 0
    local prefix
    for prefix in "${@:-${WINEPREFIX:-}}"; do
        if [ -n "$prefix" ]; then
            WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
        fi
    done
}
