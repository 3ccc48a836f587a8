# Shared by the set-up scripts: find CPython 3.12, make .venv, install the
# module. Sourced, not run.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

find_python312() {
    if command -v python3.12 >/dev/null 2>&1 && python3.12 -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
        command -v python3.12
        return
    fi
    local candidate
    for candidate in $(ls -d /root/.pyenv/versions/3.12.*/bin/python "$HOME"/.pyenv/versions/3.12.*/bin/python /usr/bin/python3.12 /usr/local/bin/python3.12 2>/dev/null | sort -V -r); do
        if [ -x "$candidate" ]; then
            echo "$candidate"
            return
        fi
    done
    echo "CPython 3.12 not found (looked for python3.12 and ~/.pyenv/versions/3.12.*)" >&2
    exit 1
}

VENV="${CORVANE_VENV:-$ROOT/.venv}"
if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python312)" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
fi
PY="$VENV/bin/python"

# install_module REQUIREMENTS_FILE: dependencies, then the module itself.
install_module() {
    "$PY" -m pip install -q -r "$1"
    "$PY" -m pip install -q --no-build-isolation "$ROOT"
}
