#!/usr/bin/env bash
# Builds the distribution as users install it: `python -m build` makes the
# sdist and, from it, the wheel in an isolated build environment (as pip
# does); `auditwheel repair` gives the wheel its manylinux tag (the modules
# need nothing but the C library, so nothing is grafted in) and
# `auditwheel show` confirms it. Output in dist/ (or $DIST_DIR).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
[ -x "$PY" ] || ensure_venv
"$PY" -c 'import build, auditwheel' 2>/dev/null || ensure_venv

DIST="${DIST_DIR:-$ROOT/dist}"
RAW="$(mktemp -d)"
trap 'rm -rf "$RAW"' EXIT

say "building the sdist and the wheel (python -m build)"
"$PY" -m build --outdir "$RAW" "$ROOT" >"$RAW/build.log" 2>&1 || { cat "$RAW/build.log" >&2; die "python -m build failed"; }
mkdir -p "$DIST"
rm -f "$DIST"/velmora_saml-*
cp "$RAW"/velmora_saml-*.tar.gz "$DIST/"
say "giving the wheel its manylinux tag (auditwheel repair)"
"$PY" -m auditwheel repair --wheel-dir "$DIST" "$RAW"/velmora_saml-*.whl >"$RAW/repair.log" 2>&1 \
  || { cat "$RAW/repair.log" >&2; die "auditwheel repair failed"; }
"$PY" -m auditwheel show "$DIST"/velmora_saml-*.whl
ls -l "$DIST"
