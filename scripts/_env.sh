# Shared by the set-up scripts: find the interpreter, make its venv, install
# the module. Sourced, not run.
#
# CPython 3.12 is the default, in .venv. CORVANE_PYTHON picks another
# supported interpreter, either as a version ("3.13") or as a path to a
# python executable; it gets a venv of its own, .venv-X.Y, so builds for
# different interpreters never share installed packages. A script that sets
# VENV_ROLE before sourcing this gets .venv-ROLE (.venv-ROLE-X.Y): the main
# job's environment holds pandas 2 (recordlinkage pins it), the tests' pandas 3.
# CORVANE_VENV overrides the venv directory.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

DEFAULT_PYTHON_VERSION=3.12
SUPPORTED_PYTHON_VERSIONS="3.12 3.13"

# find_python X.Y: prints the path of a CPython X.Y interpreter.
find_python() {
    local want="$1" candidate
    local check="import sys; assert '%d.%d' % sys.version_info[:2] == '$want'"
    if command -v "python$want" >/dev/null 2>&1 && "python$want" -c "$check" 2>/dev/null; then
        command -v "python$want"
        return
    fi
    for candidate in $(ls -d /root/.pyenv/versions/"$want".*/bin/python "$HOME"/.pyenv/versions/"$want".*/bin/python \
                             /usr/bin/python"$want" /usr/local/bin/python"$want" 2>/dev/null | sort -V -r); do
        if [ -x "$candidate" ] && "$candidate" -c "$check" 2>/dev/null; then
            echo "$candidate"
            return
        fi
    done
    echo "CPython $want not found (looked for python$want and ~/.pyenv/versions/$want.*)" >&2
    return 1
}

# python_version EXECUTABLE: prints its X.Y.
python_version() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

# select_python [VERSION-OR-PATH]: sets BASE_PY (the interpreter), PY_VERSION
# (its X.Y) and VENV (its venv directory).
select_python() {
    local choice="${1:-$DEFAULT_PYTHON_VERSION}"
    if [[ "$choice" == */* ]]; then
        [ -x "$choice" ] || { echo "CORVANE_PYTHON: $choice is not an executable" >&2; return 1; }
        BASE_PY="$choice"
    else
        BASE_PY="$(find_python "$choice")"
    fi
    PY_VERSION="$(python_version "$BASE_PY")"
    case " $SUPPORTED_PYTHON_VERSIONS " in
        *" $PY_VERSION "*) ;;
        *) echo "CPython $PY_VERSION is not supported (supported: $SUPPORTED_PYTHON_VERSIONS)" >&2; return 1 ;;
    esac
    if [ "$PY_VERSION" = "$DEFAULT_PYTHON_VERSION" ]; then
        VENV="$ROOT/.venv${VENV_ROLE:+-$VENV_ROLE}"
    else
        VENV="$ROOT/.venv${VENV_ROLE:+-$VENV_ROLE}-$PY_VERSION"
    fi
}

select_python "${CORVANE_PYTHON:-}"
VENV="${CORVANE_VENV:-$VENV}"
if [ ! -x "$VENV/bin/python" ]; then
    "$BASE_PY" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
fi
PY="$VENV/bin/python"
if [ "$(python_version "$PY")" != "$PY_VERSION" ]; then
    echo "$VENV holds CPython $(python_version "$PY"), not $PY_VERSION: remove it or set CORVANE_VENV" >&2
    exit 1
fi

# install_module REQUIREMENTS_FILE: dependencies, then the module itself.
# Every venv of one CPython builds in the same build/{wheel_tag} directory
# (pyproject.toml), so builds take turns: the test command and the main job
# may run side by side, and the second reuses the first one's objects.
install_module() {
    "$PY" -m pip install -q -r "$1"
    mkdir -p "$ROOT/build"
    flock "$ROOT/build/.install.lock" "$PY" -m pip install -q --no-build-isolation "$ROOT"
}
