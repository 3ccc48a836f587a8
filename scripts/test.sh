#!/usr/bin/env bash
# Builds the module into .venv and runs the whole test suite.
source "$(dirname "$0")/_env.sh"
install_module requirements-dev.txt
cd "$ROOT"
"$PY" -m pytest -q -p no:cacheprovider tests "$@"
