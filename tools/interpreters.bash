# The interpreters that the project's scripts build and test on. Sourced (bash) by .ci/run,
# tools/develop and tools/wheels:
#
#   KESTRUM_MINORS                  the CPython minors, oldest first
#   kestrum_find_interpreter MINOR  prints the interpreter of that minor, or nothing
#
# Each minor is looked for, in this order, as the newest patch release under
# ${PYENV_ROOT:-~/.pyenv}/versions, as python3.X on PATH, and (3.14 and 3.15, which a stable
# Debian release lacks) as the venv that tools/debian-pythons makes under build/debian-pythons/
# of this checkout. The first that runs and reports itself as CPython of that minor is taken.

KESTRUM_MINORS=(3.9 3.10 3.11 3.12 3.13 3.14 3.15)
# The minors that tools/debian-pythons provides when neither pyenv nor PATH has them.
KESTRUM_DEBIAN_MINORS=(3.14 3.15)

KESTRUM_CHECKOUT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

kestrum_find_interpreter() {
    local minor=$1 versions=${PYENV_ROOT:-$HOME/.pyenv}/versions best= name
    local candidates=()
    if [[ -d $versions ]]; then
        best=$(find "$versions" -mindepth 1 -maxdepth 1 -printf '%f\n' |
            grep -E "^${minor//./\\.}\.[0-9]+\$" | sort -V | tail -n 1) || true
    fi
    [[ -n $best ]] && candidates+=("$versions/$best/bin/python")
    name=$(command -v "python$minor") && candidates+=("$name")
    candidates+=("$KESTRUM_CHECKOUT/build/debian-pythons/venv-$minor/bin/python")
    for name in "${candidates[@]}"; do
        if [[ -x $name ]] &&
            [[ $("$name" -c 'import platform, sys; print(platform.python_implementation(), "%d.%d" % sys.version_info[:2])' 2>/dev/null) == "CPython $minor" ]]; then
            echo "$name"
            return 0
        fi
    done
    return 0
}
