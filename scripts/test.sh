#!/usr/bin/env bash
# Runs every test: sets the machine up (system packages, venv, build), runs
# the suite against the built plug-in, then again against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_all
cd "$ROOT"

run_pytest() {
  local rc=0
  "$@" || rc=$?
  # pytest exits 5 when it collected no test: that is a failure here.
  if [ "$rc" -eq 5 ]; then die "pytest collected no tests"; fi
  return "$rc"
}

say "test suite"
run_pytest "$PY" -m pytest -p no:cacheprovider "$@"

if [ "${SKIP_SANITIZERS:-0}" != 1 ]; then
  bash "$ROOT/scripts/sanitize.sh" "$@"
fi
