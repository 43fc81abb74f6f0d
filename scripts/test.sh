#!/usr/bin/env bash
# Builds everything and runs every test, then builds and checks the packages.
#
# Both Windows programs are built, 32-bit and 64-bit. Where 32-bit Wine
# cannot run a program here (it needs i386 packages and a kernel that runs
# 32-bit programs), the 32-bit build's tests run under 32-bit Wine in a
# Debian 12 virtual machine (scripts/vm32.sh; EMSGRAFT_32BIT_VM=1 sends them
# there in any case, EMSGRAFT_32BIT_VM=0 never). When a Windows build's tests
# cannot run at all, every other test runs; the last lines say which Windows
# builds were tested, where, and which were not, and why. The command then
# succeeds, unless EMSGRAFT_REQUIRE_WINE=1 is set. A missing compiler or any
# failing test fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
. scripts/lib/wine.sh
ensure_packages cmake make g++ libgtest-dev valgrind clang libclang-rt-dev llvm
ensure_packages man-db groff-base  # the install test renders the manual page
ensure_packages acl  # the end-to-end tests give a service file an ACL with setfacl
ensure_windows_toolchain

# The Windows builds' tests run under Wine, each build in a Wine prefix of
# its own: the 32-bit build under the 32-bit loader (build/wine), the 64-bit
# build under the 64-bit one (build/wine64), which needs no i386 packages.
# Said last, whatever ends the run: which builds were tested, which not and why.
windows_tested=()
windows_not_run=()
vm32_reason=""  # why the 32-bit build's tests run in the virtual machine
finish() {
    local status=$?
    stop_wine "$PWD/build/wine" "$PWD/build/wine64"
    echo
    if [ "${vm32_status:-}" = 0 ] || [ "${vm32_status:-}" = 1 ]; then
        echo "The 32-bit Windows build's tests ($vm32_reason) $(cat build/vm32/summary)"
    fi
    local build
    for build in "${windows_not_run[@]}"; do
        echo "NOT RUN: $build"
    done
    local tested=none
    if [ ${#windows_tested[@]} -gt 0 ]; then
        tested=$(printf '%s; ' "${windows_tested[@]}")
        tested=${tested%; }
    elif [ $status -ne 0 ]; then
        tested+=" (the run failed before their tests passed)"
    fi
    echo "Windows builds tested under Wine: $tested"
    if [ ${#windows_not_run[@]} -gt 0 ] && [ "${EMSGRAFT_REQUIRE_WINE:-}" = 1 ]; then
        echo "EMSGRAFT_REQUIRE_WINE=1: failing for want of them."
    fi
}
trap finish EXIT

# wine_ready LOADER PACKAGE PREFIX: a fresh prefix in which LOADER runs a
# program; if not, wine_problem says why.
wine_ready() {
    if [ ! -x "$1" ]; then
        wine_can_run "$1" "$2"  # says what is missing
        return 1
    fi
    start_wine "$3" "$1" && wine_can_run "$1"
}

# build_windows PRESET LOADER PACKAGE PREFIX TESTS: builds the Windows
# program of PRESET and its tests (which list their cases when they run, not
# when they are linked). Its own tests and the Linux build's end-to-end,
# lookup and both-builds tests against it run here when LOADER can run a
# program in a fresh PREFIX: then tested_build is its folder. Otherwise
# tested_build is empty and TESTS are reported as not run, with the reason,
# unless they go to the virtual machine (a LOADER of "vm" sends them there
# without trying).
build_windows() {
    tested_build=$PWD/build/$1
    if [ "$2" = vm ] || ! wine_ready "$2" "$3" "$4"; then
        tested_build=""
        stop_wine "$4"
        if [ "$2" = vm ]; then
            vm32_reason="EMSGRAFT_32BIT_VM=1"
        elif [ "$1" = windows ] && [ "${EMSGRAFT_32BIT_VM:-}" != 0 ]; then
            vm32_reason="here: $wine_problem"
        else
            windows_not_run+=("$5 Reason: $wine_problem")
            echo "WARNING: the $1 build's tests cannot run: $wine_problem" >&2
        fi
    fi
    cmake --preset "$1" -DBUILD_TESTING=ON
    cmake --build --preset "$1"
}
tests32="the 32-bit Windows build's tests: ctest --preset windows, and windows.* and both.* of ctest --preset linux \
(the program under Wine, both programs compared)."
loader32=$wine32_loader
[ "${EMSGRAFT_32BIT_VM:-}" = 1 ] && loader32=vm
build_windows windows "$loader32" wine32:i386 "$PWD/build/wine" "$tests32"
windows_build=$tested_build
if [ -n "$vm32_reason" ]; then
    # Made meanwhile: the virtual machine's image (unless kept from before).
    echo "WARNING: the 32-bit build's tests run in a virtual machine ($vm32_reason)" >&2
    mkdir -p build/vm32
    bash scripts/vm32.sh image >build/vm32/image.log 2>&1 &
    vm32_image=$!
fi
build_windows windows64 "$wine64_loader" wine64 "$PWD/build/wine64" "the 64-bit Windows build's tests: ctest \
--preset windows64, and windows64.* and both64.* of ctest --preset linux."
windows64_build=$tested_build

# For the virtual machine, the Linux build's tests of the 32-bit build exist
# but run there, with a share of the differential sequences (a machine
# without KVM runs Wine several times slower).
linux_options=(-DEMSGRAFT_WINDOWS_SEQUENCES=2000)
if [ -n "$vm32_reason" ]; then
    windows_build=$PWD/build/windows
    linux_options=(-DEMSGRAFT_WINDOWS_SEQUENCES="${EMSGRAFT_32BIT_VM_SEQUENCES:-1000}" -DEMSGRAFT_WINE=/usr/bin/wine)
fi
cmake --preset linux -DBUILD_TESTING=ON -DEMSGRAFT_WINDOWS_BUILD="$windows_build" \
    -DEMSGRAFT_WINDOWS64_BUILD="$windows64_build" "${linux_options[@]}"
cmake --build --preset linux

# run_tests PRESET [CTEST-OPTIONS]: its tests. On a loaded machine Wine now and then fails to
# start a program, which then ends at once without a word (WINEDEBUG=-all);
# so the tests run under Wine that failed get one more run. Any other
# failure stands.
run_tests() {
    ctest --preset "$@" && return 0
    local failed="build/$1/Testing/Temporary/LastTestsFailed.log"
    [ -s "$failed" ] || return 1
    [ "$1" = windows ] || [ "$1" = windows64 ] ||
        ! grep -q -v -E '^[0-9]+:(windows|windows64|both|both64)\.' "$failed" || return 1
    echo "Running the failed tests under Wine once more: $(cut -d: -f2 "$failed" | tr '\n' ' ')"
    ctest --preset "$1" --rerun-failed
}
if [ -n "$vm32_reason" ]; then
    run_tests linux -E '^(windows|both)\.'
else
    run_tests linux
fi
if [ -n "$windows_build" ] && [ -z "$vm32_reason" ]; then
    run_tests windows
    windows_tested+=("32-bit (ctest --preset windows, and windows.* and both.* of ctest --preset linux)")
fi
if [ -n "$windows64_build" ]; then
    run_tests windows64
    windows_tested+=("64-bit (ctest --preset windows64, and windows64.* and both64.* of ctest --preset linux)")
fi
if [ -n "$vm32_reason" ]; then
    wait "$vm32_image" || true
    vm32_status=0
    bash scripts/vm32.sh || vm32_status=$?
    case $vm32_status in
    0) windows_tested+=("32-bit in a virtual machine (ctest --preset windows, and windows.* and both.* of ctest --preset linux)") ;;
    1) exit 1 ;;
    *) windows_not_run+=("$tests32 Reason: $vm32_reason, and the virtual machine: $(tail -1 build/vm32/summary)") ;;
    esac
fi

# Once more built with AddressSanitizer and UndefinedBehaviorSanitizer (Clang),
# with a minute of fuzzing the profile layer.
cmake --preset asan -DBUILD_TESTING=ON
cmake --build --preset asan
ctest --preset asan

# The packages, built twice and checked: the .deb and the Windows .zip.
bash scripts/package.sh

if [ ${#windows_not_run[@]} -gt 0 ] && [ "${EMSGRAFT_REQUIRE_WINE:-}" = 1 ]; then
    exit 1
fi
