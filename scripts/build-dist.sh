#!/usr/bin/env bash
# Builds the distribution as users install it: `python -m build` makes the
# sdist; from it pip builds one wheel per supported CPython (isolated build
# environment, as pip does on a user's machine) with the pinned zig compiler
# of requirements-dev.txt (cmake/zig-toolchain.cmake): zig's clang links its
# own C++ runtime statically against the glibc 2.17 symbol set, so the
# modules need only glibc 2.17 or newer. `auditwheel repair` gives each wheel
# the manylinux2014 tag (nothing is grafted in) and fails if a module needs
# more; `auditwheel show` confirms it. Output in dist/ (or $DIST_DIR).
# The development, sanitizer and sdist builds keep the system compiler.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
[ -x "$PY" ] || ensure_venv
"$PY" -c 'import build, auditwheel, ziglang' 2>/dev/null || ensure_venv

DIST="${DIST_DIR:-$ROOT/dist}"
PLAT=manylinux2014_x86_64
RAW="$(mktemp -d)"
trap 'rm -rf "$RAW"' EXIT

# cmake/zig-c++ runs this binary: the one of the pinned ziglang package.
VELMORA_ZIG="$("$PY" -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name("zig"))')"
export VELMORA_ZIG

say "building the sdist (python -m build --sdist)"
"$PY" -m build --sdist --outdir "$RAW" "$ROOT" >"$RAW/build.log" 2>&1 || { cat "$RAW/build.log" >&2; die "python -m build failed"; }
sdist=("$RAW"/velmora_saml-*.tar.gz)
for version in $SUPPORTED_PYTHONS; do
  python="$(find_python "$version")" || python_missing "$version"
  say "building the CPython $version wheel from the sdist with zig $("$VELMORA_ZIG" version) (glibc 2.17)"
  "$python" -m pip wheel --no-deps --disable-pip-version-check --wheel-dir "$RAW/wheels" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/cmake/zig-toolchain.cmake" "${sdist[0]}" >"$RAW/wheel.log" 2>&1 \
    || { cat "$RAW/wheel.log" >&2; die "the CPython $version wheel failed to build"; }
done
mkdir -p "$DIST"
rm -f "$DIST"/velmora_saml-*
cp "${sdist[0]}" "$DIST/"
say "giving the wheels the $PLAT tag (auditwheel repair)"
for wheel in "$RAW"/wheels/velmora_saml-*.whl; do
  "$PY" -m auditwheel repair --plat "$PLAT" --wheel-dir "$DIST" "$wheel" >"$RAW/repair.log" 2>&1 \
    || { cat "$RAW/repair.log" >&2; die "auditwheel repair $(basename "$wheel") failed"; }
done
for wheel in "$DIST"/velmora_saml-*.whl; do
  "$PY" -m auditwheel show "$wheel"
done
ls -l "$DIST"
