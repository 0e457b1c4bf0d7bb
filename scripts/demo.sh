#!/usr/bin/env bash
# Sets the machine up and runs the demo: a local identity provider and a host
# application with the plug-in, both on 127.0.0.1. Ctrl-C stops everything.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_all
cd "$ROOT"
exec "$PY" "$ROOT/demo/run.py" "$@"
