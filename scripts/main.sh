#!/usr/bin/env bash
# The main job: builds the module into .venv-main and runs the end-to-end example.
VENV_ROLE=main
source "$(dirname "$0")/_env.sh"
install_module requirements-main.txt
cd "$ROOT"
"$PY" examples/link_febrl.py "$@"
