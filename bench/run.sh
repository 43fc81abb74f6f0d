#!/usr/bin/env bash
# Times whole runs of emsgraft on a realistic service file (about 4 KB) and a
# large one (20 MB), next to two reference points:
#   dd       copies the same file with `dd bs=1M conv=fsync`: reading and
#            durably writing the bytes once, the least any safe update costs;
#   crudini  the same update scripted with crudini (bench/crudini_update.sh).
# Each time is the median of several runs, each run on a fresh copy of the
# file with the page cache warm and nothing left to write back; the tools take
# turns. Peak memory comes from one more run of each under /usr/bin/time -v. Prints the figures and whether the targets
# hold; exits with status 1 when one does not.
#
# Settings (environment):
#   BENCH_RUNS=9          runs of emsgraft and of dd for each size
#   BENCH_CRUDINI_RUNS=3  runs of the crudini script for each size (a run on
#                         the large file takes minutes, and one more run
#                         measures its memory)
#   BENCH_SIZES="small large"  which files to time
#   BENCH_DIR=build/bench where the files go; its file system is measured
#   EMSGRAFT=<program>    the program to time; built from this tree if unset
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
ensure_packages cmake make g++ crudini time

sizes=${BENCH_SIZES:-small large}
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

# The machine, for the record.
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
ram=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
echo "machine: $(nproc) CPUs, ${cpu:-unknown CPU}, $ram RAM, $(uname -sr), $(df -T "$dir" | awk 'NR == 2 { print $2 }') under $dir"
echo "runs: $runs of emsgraft and dd, $crudini_runs of crudini; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

milliseconds() { awk -v s="$1" -v e="$2" 'BEGIN { printf "%.3f\n", (e - s) * 1000 }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
peak_of() { sed -n 's/.*Maximum resident set size (kbytes): //p' "$1"; }

# timed SOURCE NAME COMMAND...: runs COMMAND, which works on $dir/target.inf,
# a fresh copy of SOURCE with nothing left to write back, and appends the time
# in ms to $dir/NAME.times; the output goes to $dir/NAME.out.
timed() {
    local source=$1 name=$2 start end
    shift 2
    cp "$source" "$dir/target.inf"
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
    cp "$source" "$dir/target.inf"
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

row() { printf '%-6s %9s %12s %9s %11s %12s %17s %14s %10s\n' "$@"; }
row file bytes "emsgraft ms" "dd ms" "crudini ms" "emsgraft/dd" "crudini/emsgraft" "peak KiB" "peak/size"
results=()
for size in $sizes; do
    bytes=$([ $size = small ] && echo 4096 || echo 20971520)
    bench/make_service_file.sh "$bytes" "$dir/$size.inf"
    bytes=$(stat -c %s "$dir/$size.inf")

    # The tools take turns, so that a change in the machine's load during
    # the benchmark reaches all of them alike.
    rm -f "$dir"/*.times
    for ((i = 0; i < runs || i < crudini_runs; i++)); do
        if ((i < runs)); then
            timed "$dir/$size.inf" emsgraft "$program" "$dir/target.inf"
            check_output emsgraft
            timed "$dir/$size.inf" dd dd if="$dir/$size.inf" of="$dir/target.inf" bs=1M conv=fsync status=none
        fi
        if ((i < crudini_runs)); then
            timed "$dir/$size.inf" crudini bench/crudini_update.sh "$dir/target.inf"
            check_output crudini
        fi
    done
    ems=$(median <"$dir/emsgraft.times")
    dd=$(median <"$dir/dd.times")
    crudini=$(median <"$dir/crudini.times")
    for name in emsgraft dd crudini; do
        cp "$dir/$name.times" "$dir/$size-$name.times"  # every run's time, for a closer look
    done
    ems_peak=$(peak "$dir/$size.inf" "$program" "$dir/target.inf")
    dd_peak=$(peak "$dir/$size.inf" dd if="$dir/$size.inf" of="$dir/target.inf" bs=1M conv=fsync status=none)
    crudini_peak=$(peak "$dir/$size.inf" bench/crudini_update.sh "$dir/target.inf")

    ratio_dd=$(awk -v a="$ems" -v b="$dd" 'BEGIN { printf "%.2f", a / b }')
    ratio_crudini=$(awk -v a="$crudini" -v b="$ems" 'BEGIN { printf "%.0f", a / b }')
    peak_ratio=$(awk -v p="$ems_peak" -v s="$bytes" 'BEGIN { printf "%.2f", p * 1024 / s }')
    row $size "$bytes" "$(printf %.2f "$ems")" "$(printf %.2f "$dd")" "$(printf %.0f "$crudini")" "$ratio_dd" \
        "$ratio_crudini" "$ems_peak" "$peak_ratio"
    results+=("$size $ratio_dd $ratio_crudini $peak_ratio $dd_peak $crudini_peak")
done

echo
for r in "${results[@]}"; do
    set -- $r
    echo "peak memory of the $1 runs: dd $5 KiB, crudini script $6 KiB"
done
echo "targets:"
for r in "${results[@]}"; do
    set -- $r
    [ "$1" = large ] && verdict "$(awk -v r="$2" 'BEGIN { print (r <= 2) }')" "large file: emsgraft at most 2x the dd floor ($2x)"
    verdict "$(awk -v r="$3" 'BEGIN { print (r >= 100) }')" "$1 file: crudini script at least 100x slower than emsgraft (${3}x)"
    # A 4 KB file is far below the few MiB that any process occupies, so the
    # memory target is judged on the large file.
    [ "$1" = large ] && verdict "$(awk -v r="$4" 'BEGIN { print (r <= 3) }')" "large file: emsgraft peak memory at most 3x the file size (${4}x)"
done
rm -f "$dir/target.inf"
exit $failed
