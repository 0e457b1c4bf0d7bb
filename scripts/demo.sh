#!/usr/bin/env bash
# Sets the machine up and runs the demo: a local identity provider and a host
# application with the plug-in, both on 127.0.0.1. Ctrl-C stops everything.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# Listing the options sets nothing up, once the virtual environment exists.
case " $* " in
  *" --help "* | *" -h "*) [ -x "$PY" ] || setup_all ;;
  *) setup_all ;;
esac
cd "$ROOT"
exec "$PY" "$ROOT/demo/run.py" "$@"
