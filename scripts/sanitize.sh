#!/usr/bin/env bash
# Builds the plug-in with ASan+UBSan into build/sanitize-<version>/stage and runs the
# test suite against that build, the sanitizer runtimes preloaded.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
[ -x "$PY" ] || setup_all
cd "$ROOT"

BUILD="$ROOT/build/sanitize-$PYVER"
STAGE="$BUILD/stage"
say "building the plug-in with ASan+UBSan (CPython $PYVER)"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=ON \
  -DPython_EXECUTABLE="$PY" -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" >/dev/null
cmake --build "$BUILD" >/dev/null
rm -rf "$STAGE"
cmake --install "$BUILD" --prefix "$STAGE" >/dev/null
cp "$ROOT"/src/velmora_saml/*.py "$STAGE/velmora_saml/"

asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
say "test suite under ASan+UBSan (CPython $PYVER)"
rc=0
env LD_PRELOAD="$asan $ubsan" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  PYTHONMALLOC=malloc \
  VELMORA_SAML_STAGE="$STAGE" \
  PYTHONPATH="$STAGE" \
  "$PY" -m pytest -p no:cacheprovider -m "not slow and not browser" "$@" || rc=$?
if [ "$rc" -eq 5 ]; then die "pytest collected no tests under the sanitizers (CPython $PYVER)"; fi
exit "$rc"
