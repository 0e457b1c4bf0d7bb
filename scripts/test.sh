#!/usr/bin/env bash
# Runs every test on every supported CPython version: sets the machine up
# (system packages, one venv per version, build), runs the suite against the
# built plug-in, then again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. PYTHONS="3.12" (say) runs a subset; extra
# arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"
versions="${PYTHONS:-$SUPPORTED_PYTHONS}"

# Every version must be there before an hour of tests starts.
for version in $versions; do
  find_python "$version" >/dev/null || python_missing "$version"
done
ensure_system_packages

run_pytest() {
  local rc=0
  "$@" || rc=$?
  # pytest exits 5 when it collected no test: that is a failure here.
  if [ "$rc" -eq 5 ]; then die "pytest collected no tests"; fi
  return "$rc"
}

failed=()
for version in $versions; do
  use_python "$version"
  ensure_venv
  build_plugin
  say "test suite (CPython $version)"
  run_pytest "$PY" -m pytest -p no:cacheprovider "$@" || failed+=("CPython $version")
  if [ "${SKIP_SANITIZERS:-0}" != 1 ]; then
    bash "$ROOT/scripts/sanitize.sh" "$@" || failed+=("CPython $version under ASan+UBSan")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  printf 'error: tests failed: %s\n' "${failed[@]}" >&2
  exit 1
fi
say "all tests passed on CPython ${versions// /, }"
