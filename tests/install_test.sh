#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a user gets: the
# program and its manual, a manual that renders without warnings, and a manual
# and README that tell every message the installed program prints, the README
# with its exit status.
#
#   install_test.sh CMAKE BUILD_DIR SOURCE_DIR SYSTEM_DIR
set -euo pipefail
cmake=$1 build=$2 source=$3 system_dir=$4

work=$(mktemp -d)
trap 'chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
program=$work/prefix/bin/emsgraft
manual=$work/prefix/share/man/man1/emsgraft.1

installed=$(cd "$work/prefix" && find . -type f | sort | tr '\n' ' ')
[ "$installed" = "./bin/emsgraft ./share/man/man1/emsgraft.1 " ] || fail "installed files: $installed"
[ -x "$program" ] || { fail "no program at $program"; exit 1; }

# --- the manual renders cleanly and has the sections a reader looks for
MANWIDTH=80 LC_ALL=C.UTF-8 MANPAGER=cat man --warnings -l "$manual" >"$work/manual.txt" 2>"$work/warnings.txt" ||
    fail "man exited with status $?"
[ -s "$work/warnings.txt" ] && fail "man warnings: $(cat "$work/warnings.txt")"
for heading in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" OUTPUT FILES EXAMPLES NOTES; do
    grep -qx "$heading" "$work/manual.txt" || fail "manual has no $heading section"
done
# One line of words, so that a message wrapped in the rendering still matches.
manual_text=$(tr -s ' \n' '  ' <"$work/manual.txt")
default_file="${system_dir%/}/mapisvc.inf"
[[ $manual_text == *" $default_file "* ]] || fail "manual does not name the default file $default_file"

# --- every message of the installed program, from real runs
# Prints the run's output, one message a line, with the path written as
# PATH and an error description as REASON, then "status N".
run() {
    local path=$1 status=0 output
    shift
    output=$("$program" "$@") || status=$?
    output=${output//"$path"/PATH}
    output=$(printf '%s\n' "$output" | sed -E 's/(Unable to update MAPI service file PATH: ).*/\1REASON/')
    printf '%s\nstatus %d\n' "$output" "$status"
}

cp "$source/examples/mapisvc.inf" "$work/mapisvc.inf"
mkdir "$work/directory.inf"
long="$work/$(printf 'a%.0s' $(seq 300))"
long=${long:0:296}.inf
runs=(
    "$(run "$work/mapisvc.inf" "$work/mapisvc.inf")"
    "$(run "$work/mapisvc.inf" "$work/mapisvc.inf")"
    "$(run "(no path)" -x)"
    "$(run "(no path)" "$work/a.inf" "$work/b.inf")"
    "$(run "$work/mapisvc.txt" "$work/mapisvc.txt")"
    "$(run "$long" "$long")"
    "$(run "$work/absent.inf" "$work/absent.inf")"
    "$(run "$work/directory.inf" "$work/directory.inf")"
)

# Each run's messages must appear in the manual, the path shown as "path"
# and the reason as "reason".
for output in "${runs[@]}"; do
    while IFS= read -r message; do
        [[ $message == "status "* ]] && continue
        shown=${message//PATH/path}
        shown=${shown//REASON/reason}
        [[ $manual_text == *"$shown"* ]] || fail "manual lacks the message: $shown"
    done <<<"$output"
done

# Each run's messages must appear, quoted, in one row of a README table that
# gives its exit status; the path is shown as <path> and the reason as <reason>.
for output in "${runs[@]}"; do
    status=${output##*status }
    found=no
    while IFS= read -r row; do
        [[ $row == *"| $status |" ]] || continue
        found=yes
        while IFS= read -r message; do
            [[ $message == "status "* ]] && continue
            shown=${message//PATH/<path>}
            shown=${shown//REASON/<reason>}
            [[ $row == *"\`$shown\`"* ]] || found=no
        done <<<"$output"
        [ $found = yes ] && break
    done < <(grep '^|' "$source/README.md")
    [ $found = yes ] || fail "README has no row with status $status for: $(echo "$output" | head -n -1 | tr '\n' ' ')"
done

[ $failures -eq 0 ] || exit 1
echo "installed program, manual and README agree"
