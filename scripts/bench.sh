#!/usr/bin/env bash
# Sets the machine up and runs the benchmarks: prints a table, writes
# bench/results/results.json and bench/results/scaling.png.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_all
"$PY" -m pip install -q --disable-pip-version-check "matplotlib>=3.8"
cd "$ROOT"
exec "$PY" "$ROOT/bench/run.py" "$@"
