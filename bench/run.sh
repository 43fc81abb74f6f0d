#!/usr/bin/env bash
# Times whole runs of emsgraft on generated service files of every shape:
#   small     a realistic service file (about 4 KB);
#   large     the same, 20 MB of ordinary sections;
#   manykeys  21 MB, one [MSEMS] holding 7 million "a=" lines;
#   sections  50 MB, 12.5 million "[s]" lines: sections as dense as can be,
#             all of one name;
#   named     54 MB, 5 million sections "[sN]", each of its own name;
#   oneline   50 MB in one line that opens like a header and never closes;
# next to three reference points:
#   floor    a few lines of C (built here) that copy the file in 1 MiB pieces
#            to a file beside it, fsync the copy, rename it over the file and
#            fsync the directory: the least that an atomic, durable replace
#            of the file costs;
#   dd       copies the same file with `dd bs=1M conv=fsync`: reading and
#            durably writing the bytes once, with no rename;
#   crudini  the same update scripted with crudini (bench/crudini_update.sh);
#            on the small and large files only, to keep the benchmark short.
# Each time is the median of several runs, each run on a fresh copy of the
# file with the page cache warm and nothing left to write back; the tools take
# turns. emsgraft / floor is the median of the ratios of the runs made one
# after the other, so that a change in the machine's load reaches both alike.
# Peak memory comes from one more run of each under /usr/bin/time -v. Where
# 64-bit Wine runs a program, a Windows row follows (see windows_row). Prints
# the figures and whether the targets hold; exits with status 1 when one does
# not.
#
# Settings (environment):
#   BENCH_RUNS=9          runs of emsgraft, the floor and dd for each file
#   BENCH_CRUDINI_RUNS=3  runs of the crudini script for each file (a run on
#                         the large file takes minutes, and one more run
#                         measures its memory); 0 leaves crudini out
#   BENCH_SIZES="small large manykeys sections named oneline"  which files to
#                         time (the per-byte targets need large too)
#   BENCH_DIR=build/bench where the files go; its file system is measured
#   EMSGRAFT=<program>    the program to time; built from this tree if unset
#   BENCH_WINDOWS=1       0 leaves out the Windows row (see windows_row)
#   EMSGRAFT_WINDOWS64=<program>  the 64-bit emsgraft.exe to time there;
#                         built from this tree if unset
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
. scripts/lib/wine.sh
ensure_packages cmake make gcc g++ crudini time

sizes=${BENCH_SIZES:-small large manykeys sections named oneline}
runs=${BENCH_RUNS:-9}
crudini_runs=${BENCH_CRUDINI_RUNS:-3}
dir=${BENCH_DIR:-build/bench}
program=${EMSGRAFT:-}
if [ -z "$program" ]; then
    cmake --preset linux >/dev/null
    cmake --build --preset linux --target emsgraft >/dev/null
    program=$PWD/build/linux/emsgraft
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# The floor: the least work an atomic, durable replace of the file can do.
# It copies in 1 MiB pieces, as dd does, through one buffer that stays in the
# processor's cache.
cat >"$dir/floor.c" <<'C'
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
int main(int argc, char **argv)
{
    static char piece[1 << 20];
    char temporary[4096], *slash;
    ssize_t n, done, written;
    int in = argc == 2 ? open(argv[1], O_RDONLY) : -1;
    if (in < 0) return 1;
    snprintf(temporary, sizeof temporary, "%s.floor", argv[1]);
    int out = open(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return 1;
    while ((n = read(in, piece, sizeof piece)) > 0)
        for (done = 0; done < n; done += written)
            if ((written = write(out, piece + done, n - done)) < 0) return 1;
    if (n < 0 || fsync(out) != 0 || close(out) != 0 || rename(temporary, argv[1]) != 0) return 1;
    if ((slash = strrchr(argv[1], '/')) != NULL) *slash = 0;
    int directory = open(slash != NULL ? argv[1] : ".", O_RDONLY | O_DIRECTORY);
    return directory < 0 || fsync(directory) != 0;
}
C
cc -O2 -o "$dir/floor" "$dir/floor.c"

# The machine, for the record.
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
ram=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
echo "machine: $(nproc) CPUs, ${cpu:-unknown CPU}, $ram RAM, $(uname -sr), $(df -T "$dir" | awk 'NR == 2 { print $2 }') under $dir"
echo "runs: $runs of emsgraft, the floor and dd, $crudini_runs of crudini; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

milliseconds() { awk -v s="$1" -v e="$2" 'BEGIN { printf "%.3f\n", (e - s) * 1000 }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
peak_of() { sed -n 's/.*Maximum resident set size (kbytes): //p' "$1"; }

# timed SOURCE NAME COMMAND...: runs COMMAND, which works on $dir/target.inf,
# a fresh copy of SOURCE with nothing left to write back, and appends the time
# in ms to $dir/NAME.times; the output goes to $dir/NAME.out. The copy keeps
# the source's time, a day old, as a service file's usually is: one changed
# in the last seconds before a run costs emsgraft one more read, to compare
# it by content before replacing it.
timed() {
    local source=$1 name=$2 start end
    shift 2
    cp -p "$source" "$dir/target.inf"
    sync
    start=$EPOCHREALTIME
    "$@" >"$dir/$name.out" 2>&1 || true
    end=$EPOCHREALTIME
    milliseconds "$start" "$end" >>"$dir/$name.times"
}

# peak SOURCE COMMAND...: the peak memory in KiB of one more run, so that the
# timed runs carry no wrapper.
peak() {
    local source=$1
    shift
    cp -p "$source" "$dir/target.inf"
    sync
    /usr/bin/time -v -o "$dir/peak.time" "$@" >/dev/null 2>&1 || true
    peak_of "$dir/peak.time"
}

check_output() {
    grep -q '^Adding MSEMS service information to .*\.\.\.Done$' "$dir/$1.out" ||
        { echo "$1 did not update the file: $(cat "$dir/$1.out")" >&2; exit 1; }
}

failed=0
verdict() { # verdict CONDITION-HOLDS TEXT
    if [ "$1" = 1 ]; then echo "  met:    $2"; else echo "  MISSED: $2"; failed=1; fi
}

# The crudini script must make the same change as emsgraft: the same lines,
# apart from line endings and blank lines.
if ((crudini_runs > 0)); then
    bench/make_service_file.sh 4096 "$dir/same.inf"
    cp "$dir/same.inf" "$dir/by-emsgraft.inf"
    cp "$dir/same.inf" "$dir/by-crudini.inf"
    "$program" "$dir/by-emsgraft.inf" >/dev/null
    bench/crudini_update.sh "$dir/by-crudini.inf" >/dev/null
    lines() { tr -d '\r' <"$1" | grep -v '^$'; }
    if ! diff <(lines "$dir/by-emsgraft.inf") <(lines "$dir/by-crudini.inf") >/dev/null; then
        echo "the crudini script and emsgraft disagree:" >&2
        diff <(lines "$dir/by-emsgraft.inf") <(lines "$dir/by-crudini.inf") >&2
        exit 1
    fi
    rm -f "$dir/same.inf" "$dir/by-emsgraft.inf" "$dir/by-crudini.inf"
fi

# make_file NAME OUTPUT: the file that NAME stands for.
make_file() {
    case $1 in
    small) bench/make_service_file.sh 4096 "$2" ;;
    large) bench/make_service_file.sh 20971520 "$2" ;;
    manykeys) awk 'BEGIN { print "[MSEMS]"; for (i = 0; i < 7000000; i++) print "a=" }' >"$2" ;;
    sections) awk 'BEGIN { for (i = 0; i < 12500000; i++) print "[s]" }' >"$2" ;;
    named) awk 'BEGIN { for (i = 0; i < 5000000; i++) print "[s" i "]" }' >"$2" ;;
    oneline) awk 'BEGIN { printf "["; for (i = 0; i < 1000000; i++) printf "%s", "MSEMS_MSMail_Section, Microsoft Exchange Server 01" }' >"$2" ;;
    *) echo "unknown file: $1" >&2; exit 2 ;;
    esac
}

row() { printf '%-9s %9s %12s %9s %9s %11s %15s %17s %10s %10s\n' "$@"; }
row file bytes "emsgraft ms" "floor ms" "dd ms" "crudini ms" "emsgraft/floor" "crudini/emsgraft" "peak KiB" "peak/size"
results=()
for size in $sizes; do
    make_file $size "$dir/$size.inf"
    touch -d '1 day ago' "$dir/$size.inf"
    bytes=$(stat -c %s "$dir/$size.inf")
    size_crudini_runs=$([ $size = small ] || [ $size = large ] && echo "$crudini_runs" || echo 0)

    # The tools take turns, so that a change in the machine's load during
    # the benchmark reaches all of them alike.
    rm -f "$dir"/{emsgraft,floor,dd,crudini}.times  # not the copies kept for each file
    touch "$dir/crudini.times"
    for ((i = 0; i < runs || i < size_crudini_runs; i++)); do
        if ((i < runs)); then
            timed "$dir/$size.inf" emsgraft "$program" "$dir/target.inf"
            check_output emsgraft
            timed "$dir/$size.inf" floor "$dir/floor" "$dir/target.inf"
            timed "$dir/$size.inf" dd dd if="$dir/$size.inf" of="$dir/target.inf" bs=1M conv=fsync status=none
        fi
        if ((i < size_crudini_runs)); then
            timed "$dir/$size.inf" crudini bench/crudini_update.sh "$dir/target.inf"
            check_output crudini
        fi
    done
    ems=$(median <"$dir/emsgraft.times")
    floor=$(median <"$dir/floor.times")
    dd=$(median <"$dir/dd.times")
    ratio_floor=$(paste "$dir/emsgraft.times" "$dir/floor.times" | awk '{ print $1 / $2 }' | median)
    for name in emsgraft floor dd crudini; do
        cp "$dir/$name.times" "$dir/$size-$name.times"  # every run's time, for a closer look
    done
    ems_peak=$(peak "$dir/$size.inf" "$program" "$dir/target.inf")
    dd_peak=$(peak "$dir/$size.inf" dd if="$dir/$size.inf" of="$dir/target.inf" bs=1M conv=fsync status=none)
    crudini=- ratio_crudini=- crudini_peak=-
    if ((size_crudini_runs > 0)); then
        crudini=$(median <"$dir/crudini.times")
        crudini_peak=$(peak "$dir/$size.inf" bench/crudini_update.sh "$dir/target.inf")
        ratio_crudini=$(awk -v a="$crudini" -v b="$ems" 'BEGIN { printf "%.0f", a / b }')
        crudini=$(printf %.0f "$crudini")
    fi
    peak_ratio=$(awk -v p="$ems_peak" -v s="$bytes" 'BEGIN { printf "%.2f", p * 1024 / s }')
    # The memory target: 1.5 x the file and 16 MiB for the process itself.
    peak_met=$(awk -v p="$ems_peak" -v s="$bytes" 'BEGIN { print (p * 1024 <= 1.5 * s + 16 * 1048576) }')
    row $size "$bytes" "$(printf %.2f "$ems")" "$(printf %.2f "$floor")" "$(printf %.2f "$dd")" "$crudini" \
        "$(printf %.2f "$ratio_floor")" "$ratio_crudini" "$ems_peak" "$peak_ratio"
    results+=("$size $ratio_floor $ratio_crudini $peak_ratio $peak_met $dd_peak $crudini_peak $ems $bytes")
    [ $size = large ] && large_per_byte=$(awk -v t="$ems" -v b="$bytes" 'BEGIN { print t / b }')
done

echo
for r in "${results[@]}"; do
    set -- $r
    echo "peak memory of the $1 runs: dd $6 KiB, crudini script $7 KiB"
done
echo "targets:"
for r in "${results[@]}"; do
    set -- $r
    [ "$1" = large ] &&
        verdict "$(awk -v r="$2" 'BEGIN { print (r <= 1.4) }')" "large file: emsgraft at most 1.4x the floor ($(printf %.2f "$2")x)"
    [ "$3" != - ] &&
        verdict "$(awk -v r="$3" 'BEGIN { print (r >= 100) }')" "$1 file: crudini script at least 100x slower than emsgraft (${3}x)"
    # A 4 KB file is far below the few MiB that any process occupies, so the
    # memory target is judged on the large files.
    [ "$1" != small ] &&
        verdict "$5" "$1 file: emsgraft peak memory at most 1.5x the file size + 16 MiB (${4}x)"
    # Every shape of file at most 3 times the large file's time per byte.
    if [ "$1" != small ] && [ "$1" != large ] && [ -n "${large_per_byte:-}" ]; then
        slower=$(awk -v t="$8" -v b="$9" -v l="$large_per_byte" 'BEGIN { printf "%.2f", t / b / l }')
        verdict "$(awk -v r="$slower" 'BEGIN { print (r <= 3) }')" "$1 file: emsgraft at most 3x the large file's time per byte (${slower}x)"
    fi
done
# The Windows row, where 64-bit Wine runs a program: the whole 64-bit
# emsgraft.exe under Wine on a file of 40,000 small sections (2.2 MB), next
# to a few lines of C built here with MinGW that make the same 42
# WritePrivateProfileStringA calls on the file and nothing else: the cost of
# the system's own writes, which rewrite the file each time. Median of 3
# runs each, taking turns. Target: emsgraft at most 1.5 x those writes.
windows_row() {
    local wine=/usr/lib/wine/wine64 prefix=$dir/wine64 exe=${EMSGRAFT_WINDOWS64:-} runs=3 i
    ensure_packages g++-mingw-w64-x86-64 wine64
    if ! command -v x86_64-w64-mingw32-gcc >/dev/null; then
        echo "windows: left out: MinGW-w64 (g++-mingw-w64-x86-64) is not installed"
        return
    fi
    if [ ! -d "$prefix" ] && ! start_wine "$prefix" "$wine" >/dev/null 2>&1; then
        echo "windows: left out: ${wine_problem:-no Wine prefix}"
        return
    fi
    export WINEPREFIX=$prefix WINEDEBUG=-all
    # Wine's services, started here with their output to a file: started by a
    # program whose output goes to a pipe, they would hold that pipe open.
    wineserver -p 2>/dev/null || true
    "$wine" wineboot </dev/null >"$prefix.log" 2>&1 || true
    if ! wine_can_run "$wine" wine64; then
        echo "windows: left out: $wine_problem"
        return
    fi
    if [ -z "$exe" ]; then
        cmake --preset windows64 -B "$dir/windows64" -DBUILD_TESTING=OFF >/dev/null
        cmake --build "$dir/windows64" -j2 --target emsgraft >/dev/null
        exe=$dir/windows64/emsgraft.exe
    fi
    cat >"$dir/writes.c" <<'C'
#include <windows.h>
#include <stdio.h>
#include <string.h>
/* writes FILE CALLS: each line of CALLS, "section<TAB>key<TAB>value", one
   WritePrivateProfileStringA on FILE. */
int main(int argc, char **argv)
{
    char line[1024];
    FILE *calls = argc == 3 ? fopen(argv[2], "r") : NULL;
    if (calls == NULL) return 2;
    while (fgets(line, sizeof line, calls) != NULL) {
        char *key = strchr(line, '\t'), *value = key != NULL ? strchr(key + 1, '\t') : NULL;
        if (value == NULL) return 2;
        *key++ = '\0';
        *value++ = '\0';
        value[strcspn(value, "\r\n")] = '\0';
        if (!WritePrivateProfileStringA(line, key, value, argv[1])) return 1;
    }
    return 0;
}
C
    x86_64-w64-mingw32-gcc -O2 -s -static -o "$dir/writes.exe" "$dir/writes.c"
    local target
    target="Z:$(tr / '\\' <<<"$dir")\\target.inf"
    # The calls: what emsgraft writes into a file that holds only [Services],
    # in the order it writes them.
    printf '[Services]\r\n' >"$dir/target.inf"
    "$wine" "$exe" "$target" >/dev/null
    tr -d '\r' <"$dir/target.inf" | awk '/^\[/ { section = substr($0, 2, length($0) - 2); next }
        /=/ { i = index($0, "="); printf "%s\t%s\t%s\n", section, substr($0, 1, i - 1), substr($0, i + 1) }' >"$dir/calls.txt"
    awk 'BEGIN { ORS = "\r\n"; print "[Services]"
        for (i = 1; i <= 40000; i++) printf "[Service%05d]\r\nPR_DISPLAY_NAME=Example %05d\r\nTYPE=1\r\n", i, i }' \
        >"$dir/windows.inf"
    rm -f "$dir"/windows-*.times
    for ((i = 0; i < runs; i++)); do
        timed "$dir/windows.inf" windows-emsgraft "$wine" "$exe" "$target"
        tr -d '\r' <"$dir/windows-emsgraft.out" | grep -q '\.\.\.Done$' ||
            { echo "emsgraft.exe did not update the file: $(cat "$dir/windows-emsgraft.out")" >&2; exit 1; }
        timed "$dir/windows.inf" windows-writes "$wine" "$dir/writes.exe" "$target" "Z:$(tr / '\\' <<<"$dir")\\calls.txt"
    done
    local ems writes ratio
    ems=$(median <"$dir/windows-emsgraft.times")
    writes=$(median <"$dir/windows-writes.times")
    ratio=$(awk -v a="$ems" -v b="$writes" 'BEGIN { printf "%.2f", a / b }')
    echo
    echo "windows: $(wc -l <"$dir/calls.txt") writes on a file of 40,000 sections ($(stat -c %s "$dir/windows.inf") bytes)" \
        "under 64-bit Wine: emsgraft.exe $(printf %.0f "$ems") ms, the writes alone $(printf %.0f "$writes") ms"
    verdict "$(awk -v r="$ratio" 'BEGIN { print (r <= 1.5) }')" "Windows: emsgraft.exe at most 1.5x the writes alone (${ratio}x)"
    stop_wine "$prefix"
}
[ "${BENCH_WINDOWS:-1}" = 0 ] || windows_row

rm -f "$dir/target.inf"
exit $failed
