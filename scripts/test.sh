#!/usr/bin/env bash
# Runs every test: sets the machine up (system packages, one venv per
# version, build), then four passes, two test workers each:
#   1. the first version (3.12): the whole suite against the normal build;
#   2. the first version under ASan+UBSan: all but the slow and browser tests
#      (scripts/sanitize.sh);
#   3. each further version (3.13): the suite without the browser tests and
#      without the tests of the demo, the stand-in host's own pages and the
#      third-party programs (marker "demo"): the same C++ on another
#      interpreter, so what differs is the interpreter's side;
#   4. each further version under ASan+UBSan: the tests that reach the C++
#      layer's version-dependent paths (SANITIZE_LAYER_TESTS).
# PYTHONS="3.13" (say) runs a subset, its first version as the first;
# SKIP_SANITIZERS=1 skips passes 2 and 4; TEST_WORKERS sets the workers
# (default 2, 0 for none); extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"
versions="${PYTHONS:-$SUPPORTED_PYTHONS}"
first="${versions%% *}"
workers="${TEST_WORKERS:-2}"
# The layer's calls that differ between 3.12 and 3.13 (optional attribute and
# dict lookups, weak references): the trackers, the module frame, the
# callback and the return URL go through all of them.
SANITIZE_LAYER_TESTS="tests/test_trackers.py tests/test_module_frame.py tests/test_callback_view.py tests/test_return_url.py"

# Every version must be there before the tests start.
for version in $versions; do
  find_python "$version" >/dev/null || python_missing "$version"
done
ensure_system_packages

parallel=()
if [ "$workers" != 0 ]; then parallel=(-n "$workers" --dist loadgroup); fi

failed=()
timings=()
run_pass() {
  # run_pass NAME COMMAND...: one pass; pytest's exit 5 (no tests) fails it.
  local name="$1" rc=0 started=$SECONDS
  shift
  say "$name"
  "$@" || rc=$?
  timings+=("$(printf '%5d s  %s' $((SECONDS - started)) "$name")")
  if [ "$rc" -eq 5 ]; then say "$name collected no tests"; fi
  if [ "$rc" -ne 0 ]; then failed+=("$name"); fi
}

for version in $versions; do
  started=$SECONDS
  use_python "$version"
  ensure_venv
  build_plugin
  timings+=("$(printf '%5d s  %s' $((SECONDS - started)) "set-up and build (CPython $version)")")
  if [ "$version" = "$first" ]; then
    # The sweeps of hostile module names run in this version's ASan+UBSan
    # pass (the same sweeps, stricter); without it, here.
    swept=0
    if [ "${SKIP_SANITIZERS:-0}" != 1 ]; then swept=1; fi
    run_pass "test suite (CPython $version)" \
      env VELMORA_NAME_SWEEPS_SANITIZED=$swept "$PY" -m pytest -p no:cacheprovider "${parallel[@]}" "$@"
    sanitized=()
  else
    run_pass "test suite without browser and demo tests (CPython $version)" \
      "$PY" -m pytest -p no:cacheprovider "${parallel[@]}" -m "not browser and not demo" "$@"
    # shellcheck disable=SC2206
    sanitized=($SANITIZE_LAYER_TESTS)
  fi
  if [ "${SKIP_SANITIZERS:-0}" != 1 ]; then
    run_pass "ASan+UBSan (CPython $version)" \
      bash "$ROOT/scripts/sanitize.sh" "${parallel[@]}" "${sanitized[@]}" "$@"
  fi
done

say "time per pass"
printf '%s\n' "${timings[@]}" >&2
if [ ${#failed[@]} -ne 0 ]; then
  printf 'error: failed: %s\n' "${failed[@]}" >&2
  exit 1
fi
say "all tests passed on CPython ${versions// /, }"
