# Shared set-up of the project's scripts: finds CPython 3.12, installs the
# system packages the tests and the demo need, makes the virtual environment
# and builds the plug-in into it. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv}"
PY="$VENV/bin/python"
export PATH="$VENV/bin:$PATH"

say() { printf '==> %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

find_python312() {
  # A pyenv shim named python3.12 may be on PATH without working, so every
  # candidate has to prove it runs CPython 3.12.
  local root candidate
  root="$( (pyenv root) 2>/dev/null || echo "$HOME/.pyenv")"
  for candidate in "${PYTHON312:-}" "$(command -v python3.12 2>/dev/null || true)" \
      $(ls -d "$root"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r); do
    [ -n "$candidate" ] && [ -x "$candidate" ] || continue
    if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# Debian packages: memcached (replay tracking shared between processes),
# xmlsec1 (the test identity provider signs with it), chromium and its driver
# (browser tests), and the xmlsec headers in case pip has to build xmlsec.
ensure_system_packages() {
  local wanted=(memcached xmlsec1 chromium chromium-driver libxmlsec1-dev pkg-config)
  local missing=()
  local p
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    say "missing system packages (${missing[*]}); tests that need them will be skipped"
    return 0
  fi
  say "installing system packages: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

ensure_venv() {
  if [ ! -x "$PY" ]; then
    local py312
    py312="$(find_python312)" || die "CPython 3.12 not found: put python3.12 on PATH, set PYTHON312=/path/to/python3.12, or install it with pyenv (pyenv install 3.12)"
    say "creating virtual environment $VENV with $py312"
    "$py312" -m venv "$VENV"
  fi
  "$PY" -c 'import sys; assert sys.version_info[:2] == (3, 12), sys.version' \
    || die "$VENV does not hold CPython 3.12; remove it and run again"
  say "installing Python dependencies"
  "$PY" -m pip install -q --disable-pip-version-check -r "$ROOT/requirements-dev.txt"
}

# Builds and installs the plug-in (a wheel built from the C++ sources).
build_plugin() {
  say "building the plug-in"
  "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    -C build-dir="$VENV/build" "$ROOT"
}

setup_all() {
  ensure_system_packages
  ensure_venv
  build_plugin
}
