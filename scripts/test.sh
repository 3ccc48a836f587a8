#!/usr/bin/env bash
# Builds the module into .venv and runs the whole test suite.
source "$(dirname "$0")/_env.sh"
# The Spark test (tests/test_spark.py) needs Java 17 for Spark's JVM.
if ! command -v java >/dev/null 2>&1; then
    echo "test.sh: installing Java 17 (openjdk-17-jre-headless) for the Spark test" >&2
    if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq openjdk-17-jre-headless >/dev/null; }; then
        echo "test.sh: could not install Java 17; tests/test_spark.py will be skipped" >&2
    fi
fi
install_module requirements-dev.txt
cd "$ROOT"
"$PY" -m pytest -q -p no:cacheprovider tests "$@"
