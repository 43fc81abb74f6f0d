#!/usr/bin/env bash
# The 32-bit Windows build's tests, for machines whose kernel cannot run 32-bit programs: run under 32-bit
# Wine in a Debian 12 virtual machine whose kernel can. A test fixture; nothing of it ships.
#   bash scripts/vm32.sh        ctest --preset windows, and windows.* and both.* of ctest --preset linux
#                               (build/linux configured with EMSGRAFT_WINDOWS_BUILD), in the machine
#   bash scripts/vm32.sh image  only makes the image
# Status 0: the tests passed; 1: some failed; 2: no machine to run them (the last line says why).
# build/vm32/summary keeps the last lines. EMSGRAFT_VM_ACCEL=tcg leaves KVM unused.
set -euo pipefail
cd "$(dirname "$0")/.."
vm=$PWD/build/vm32

# The image: Debian 12 from this machine's Debian package sources, with the kernel, Wine and ctest, and a
# Wine prefix made in it once. Made again when missing or when this function changes (its hash is kept).
make_image() {
    local root=$vm/root mirror missing
    umount "$root/proc" 2>/dev/null || true
    rm -rf --one-file-system "$root" "$vm/kvm-failed" && mkdir -p "$root"
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' |
        sort -u | grep -E '^[^ ]+ bookworm(-[a-z]+)? ' | sed 's/^/deb /' >"$vm/sources.list" || true
    mirror=$(awk '$3 == "bookworm" {print $2; exit}' "$vm/sources.list")
    [ -n "$mirror" ] || { echo "no Debian 12 (bookworm) package source in this machine's apt sources"; return 1; }
    debootstrap --variant=minbase bookworm "$root" "$mirror" >"$vm/debootstrap.log" 2>&1 ||
        { echo "debootstrap failed: $(grep -E '^[EW]: ' "$vm/debootstrap.log" | tail -1)"; return 1; }
    cp "$vm/sources.list" "$root/etc/apt/sources.list" && cp scripts/lib/packages.sh "$root/packages.sh"
    mount -t proc proc "$root/proc" && trap 'umount "$root/proc"' EXIT
    # As on the host: a bad day of the registry is retried, and what cannot be installed is said.
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin bash -c '. /packages.sh
        dpkg --add-architecture i386
        ensure_packages linux-image-amd64 initramfs-tools udev kmod wine wine64 wine32:i386 cmake acl
        apt-get clean' >"$vm/packages.log" 2>&1 || true
    umount "$root/proc" && trap - EXIT
    missing=$(grep -E '^WARNING: .* could not be installed' "$vm/packages.log" | tr '\n' ' ' || true)
    [ -z "$missing" ] || { echo "${missing% }"; return 1; }
    rm -rf "$root/packages.sh" "$root"/var/lib/apt/lists/* "$root"/usr/share/{doc,man,locale}
    # The machine's first program: this tree, shared at its own path, and this script's guest part.
    cat >"$root/sbin/emsgraft-init" <<'EOF'
#!/bin/sh
echo emsgraft-vm32-init
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
mount -t proc proc /proc; mount -t sysfs sysfs /sys 2>/dev/null; mount -t tmpfs tmpfs /run
modprobe -a 9pnet_virtio 9p && mkdir -p "$emsgraft_src" &&
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=1048576,cache=loose emsgraft "$emsgraft_src" &&
    cd "$emsgraft_src" && bash scripts/vm32.sh guest
echo "emsgraft-vm32-exit: $?"
cd /; umount "$emsgraft_src"; sync; mount -o remount,ro /; sleep 60 & echo o >/proc/sysrq-trigger; wait
EOF
    chmod 755 "$root/sbin/emsgraft-init"
    cp -L "$root/vmlinuz" "$vm/vmlinuz" && cp -L "$root/initrd.img" "$vm/initrd.img"
    # Room for the tests' files: a test run writes to a throw-away overlay, not to the image.
    mkfs.ext4 -q -F -L emsgraft-vm32 -d "$root" "$vm/image.ext4" "$(($(du -sm "$root" | cut -f1) + 3072))M"
    rm -rf "$root"
    # A first start of Wine makes its prefix, a minute or more without KVM: once, kept in the image.
    run_machine prefix >/dev/null
    [ "$(sed -n 's/^emsgraft-vm32-exit: //p' "$vm/prefix.log")" = 0 ] ||
        { echo "no Wine prefix: $(sed -n 's/^emsgraft-vm32-result: //p' "$vm/prefix.log")"; return 1; }
}

# run_machine MODE: boots the image's kernel, with the image as its disk (left as it was after a test run:
# snapshot=on) and this tree shared through 9p; the machine runs "scripts/vm32.sh guest" in MODE (tests,
# or prefix). Its console comes back on standard output and in build/vm32/MODE.log. KVM where /dev/kvm
# opens and boots it (a nested one may hang: then never again for this image), TCG otherwise: there,
# with plain "-cpu max", SMAP made every Wine process die of a guest kernel oops.
run_machine() {
    how=TCG
    if [ "${EMSGRAFT_VM_ACCEL:-}" != tcg ] && [ ! -e "$vm/kvm-failed" ] && { : <>/dev/kvm; } 2>/dev/null; then
        how=KVM
        boot "$1" kvm host,-arch-capabilities &
        for _ in $(seq 30); do
            sleep 1
            grep -q '^emsgraft-vm32-init' "$vm/$1.log" 2>/dev/null || ! kill -0 $! 2>/dev/null && break
        done
        if ! grep -q '^emsgraft-vm32-init' "$vm/$1.log" 2>/dev/null; then
            how=TCG && touch "$vm/kvm-failed"
            kill "$(cat "$vm/qemu.pid" 2>/dev/null)" 2>/dev/null || true
        fi
        wait || true
    fi
    [ $how = KVM ] || boot "$1" tcg,thread=multi max,-smap || true
}
boot() {  # MODE ACCEL CPU
    echo "Booting the virtual machine (${2%%,*}) for the 32-bit tests; its console follows." >&2
    rm -f "$vm/$1.log" "$vm/qemu.pid"
    timeout "${EMSGRAFT_VM_TIMEOUT:-3600}" qemu-system-x86_64 -nodefaults -display none -no-reboot -accel "$2" \
        -cpu "$3" -m 4096 -smp 2 -pidfile "$vm/qemu.pid" -kernel "$vm/vmlinuz" -initrd "$vm/initrd.img" \
        -append "root=/dev/vda rw console=ttyS0 quiet panic=-1 init=/sbin/emsgraft-init emsgraft_src=$PWD \
emsgraft_mode=$1" -drive "file=$vm/image.ext4,format=raw,if=virtio,snapshot=$([ "$1" = tests ] && echo on || echo off)" \
        -virtfs "local,path=$PWD,mount_tag=emsgraft,security_model=none" -serial stdio </dev/null 2>&1 |
        sed -u 's/\r$//' | tee "$vm/$1.log"
}

[ "${1:-}" = make-image ] && { make_image; exit 0; }  # in a process of its own, where a failed step stops it

# Inside the machine: the kept prefix made, or the tests run and their results said on the console.
if [ "${1:-}" = guest ]; then
    . scripts/lib/packages.sh && . scripts/lib/wine.sh
    mkdir -p /dev/shm /var/tmp/emsgraft-tests && mount -t tmpfs tmpfs /dev/shm
    if [ "${emsgraft_mode:-}" = prefix ]; then
        start_wine /var/tmp/wine /usr/lib/wine/wine && wine_can_run /usr/lib/wine/wine || {
            echo "emsgraft-vm32-result: 32-bit Wine runs no program in the virtual machine: $wine_problem"; exit 2; }
        stop_wine /var/tmp/wine; exit 0
    fi
    export WINEPREFIX=/var/tmp/wine WINEDEBUG=-all TMPDIR=/var/tmp/emsgraft-tests  # ext4: user xattrs
    # Wine's services started with their output in a file (they would hold a pipe open), then a program.
    wineserver -p && /usr/lib/wine/wine wineboot </dev/null >/var/tmp/wine.log 2>&1 && wine_can_run /usr/lib/wine/wine || {
        echo "emsgraft-vm32-result: 32-bit Wine runs no program in the virtual machine: $wine_problem"; exit 2; }
    # The tests' prefix, build/wine, is the kept one (the same directory, so the same wineserver).
    mkdir -p build/wine && mount --bind /var/tmp/wine build/wine
    status=0
    suite() {  # NAME CTEST-ARGS...: once more for the tests that failed, as on the host
        local first result
        ctest "${@:2}" 2>&1 | tee /tmp/ctest.log && result="all passed" || {
            first=$(grep 'tests passed' /tmp/ctest.log || echo "no tests ran")
            ctest "${@:2:2}" --rerun-failed 2>&1 | tee /tmp/ctest.log && result="$first; passed when run again" ||
                { result="$first; FAILED: $(sed -n 's/^ *[0-9]* - \([^ ]*\) .*/\1/p' /tmp/ctest.log | tr '\n' ' ')"; status=1; }
        }
        echo "emsgraft-vm32-result: $1: $(grep 'tests passed' /tmp/ctest.log || echo "no tests ran") ($result)"
    }
    suite "ctest --preset windows" --preset windows
    suite "windows.* and both.* of ctest --preset linux" --preset linux -R '^(windows|both)\.'
    stop_wine /var/tmp/wine
    umount build/wine || true
    exit $status
fi

. scripts/lib/packages.sh
ensure_packages qemu-system-x86 debootstrap e2fsprogs
mkdir -p "$vm"
recipe=$(declare -f make_image | sha256sum | cut -d' ' -f1)
if [ ! -s "$vm/image.ext4" ] || [ "$(cat "$vm/recipe" 2>/dev/null)" != "$recipe" ]; then
    rm -f "$vm/image.ext4" "$vm/recipe"
    echo "Making the virtual machine's image in $vm (a few minutes)" >&2
    if ! bash "$PWD/scripts/vm32.sh" make-image >"$vm/make.log" 2>&1 || [ ! -s "$vm/image.ext4" ]; then
        rm -f "$vm/image.ext4"
        echo "The virtual machine's image cannot be made: $(tail -1 "$vm/make.log")" | tee "$vm/summary"; exit 2
    fi
    echo "$recipe" >"$vm/recipe"
fi
[ "${1:-}" = image ] && exit 0

start=$(date +%s)
run_machine tests
{ echo "in a Debian 12 virtual machine ($how, $(($(date +%s) - start)) s):"
  sed -n 's/^emsgraft-vm32-result: /  /p' "$vm/tests.log"; } >"$vm/summary"
case $(sed -n 's/^emsgraft-vm32-exit: //p' "$vm/tests.log") in
0) cat "$vm/summary"; exit 0 ;;
1) cat "$vm/summary"; exit 1 ;;
*) why=$(sed -n 's/^emsgraft-vm32-result: //p' "$vm/tests.log" | tail -1)
   echo "The virtual machine ran no tests: ${why:-see $vm/tests.log}" | tee -a "$vm/summary"; exit 2 ;;
esac
