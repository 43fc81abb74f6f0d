# Installs the Debian packages that a script needs, doing all it can when the
# package registry has a bad day: a failed index update is a warning, and a
# set that cannot be installed is tried again from the release's own suite,
# then package by package. What stays missing is listed in
# packages_not_installed, with apt's reason in package_problem[name]; the
# script goes on and decides what it cannot do without.
packages_not_installed=()
declare -A package_problem=()

package_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

# The package index is fetched once for a script and the scripts it runs
# (again after a new architecture is added).
apt_update() {
    [ "${EMSGRAFT_APT_UPDATED:-}" = "$(dpkg --print-foreign-architectures | tr '\n' ' ')" ] && return 0
    local log
    log=$(mktemp)
    if ! apt-get update -qq >"$log" 2>&1; then
        echo "WARNING: apt-get update failed; installing from the package lists that were fetched." >&2
        # The first error names the index that failed; the last only sums up.
        echo "WARNING: $(grep -m1 '^E: ' "$log" || apt_error "$log")" >&2
    fi
    rm -f "$log"
    EMSGRAFT_APT_UPDATED=$(dpkg --print-foreign-architectures | tr '\n' ' ')
    export EMSGRAFT_APT_UPDATED
}

# The last error line of an apt log (else its last line).
apt_error() {
    local line
    line=$(grep '^E: ' "$1" | tail -1)
    [ -n "$line" ] || line=$(grep -v '^[[:space:]]*$' "$1" | tail -1)
    printf '%s' "${line:-no message}"
}

# apt_try LOG [apt-get install options] PACKAGE...: one attempt, output in LOG.
apt_try() {
    local log=$1
    shift
    apt-get install -y -q "$@" >"$log" 2>&1
}

# ensure_packages [--recommends] PACKAGE...: installs those missing.
ensure_packages() {
    local recommends=(--no-install-recommends)
    if [ "${1:-}" = --recommends ]; then
        recommends=()
        shift
    fi
    local missing=() package
    for package in "$@"; do
        package_installed "$package" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt_update
    local log suite
    log=$(mktemp)
    # The release's own suite settles the skew where the installed amd64
    # libraries are newer than what another architecture's index offers.
    suite=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
    if apt_try "$log" "${recommends[@]}" "${missing[@]}" ||
        { [ -n "$suite" ] && apt_try "$log" "${recommends[@]}" -t "$suite" "${missing[@]}"; }; then
        rm -f "$log"
        return 0
    fi
    # One at a time: install what can be installed.
    for package in "${missing[@]}"; do
        package_installed "$package" && continue
        apt_try "$log" "${recommends[@]}" "$package" ||
            { [ -n "$suite" ] && apt_try "$log" "${recommends[@]}" -t "$suite" "$package"; } ||
            true
        if ! package_installed "$package"; then
            package_problem[$package]=$(apt_error "$log")
            packages_not_installed+=("$package")
            echo "WARNING: $package could not be installed: ${package_problem[$package]}" >&2
        fi
    done
    rm -f "$log"
    return 0
}

# require_command COMMAND PACKAGE: fails the script, with apt's reason, when
# the package that provides a command the script cannot do without is missing.
require_command() {
    command -v "$1" >/dev/null && return 0
    echo "ERROR: $1 is missing (package $2): ${package_problem[$2]:-not installed}" >&2
    exit 1
}
