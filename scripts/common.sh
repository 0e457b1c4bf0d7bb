# Shared set-up of the project's scripts: finds CPython (3.12 unless PYVER
# says 3.13), installs the system packages the tests and the demo need, makes
# the virtual environment and builds the plug-in into it. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Every CPython version the plug-in supports; the test command runs them all.
SUPPORTED_PYTHONS="3.12 3.13"

say() { printf '==> %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# The virtual environment of one version: .venv for 3.12 (the demo's and the
# benchmarks'), .venv-313 for 3.13.
venv_of() {
  if [ "$1" = 3.12 ]; then echo "$ROOT/.venv"; else echo "$ROOT/.venv-${1/./}"; fi
}

# Points PYVER, VENV, PY and PATH at one version (exported: scripts and tests
# started from here build and test with the same interpreter).
use_python() {
  export PYVER="$1"
  export VENV="${2:-$(venv_of "$1")}"
  PY="$VENV/bin/python"
  export PATH="$VENV/bin:$PATH"
}

find_python() {
  # A pyenv shim named python3.1x may be on PATH without working, so every
  # candidate has to prove it runs that CPython version.
  local version="$1" root candidate override
  override="PYTHON${version/./}"
  root="$( (pyenv root) 2>/dev/null || echo "$HOME/.pyenv")"
  for candidate in "${!override:-}" "$(command -v "python$version" 2>/dev/null || true)" \
      $(ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r); do
    [ -n "$candidate" ] && [ -x "$candidate" ] || continue
    if "$candidate" -c "import sys, platform; sys.exit(platform.python_implementation() != 'CPython' or '%d.%d' % sys.version_info[:2] != '$version')" 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

python_missing() {
  local v="$1"
  die "CPython $v not found: put python$v on PATH, set PYTHON${v/./}=/path/to/python$v, or install it with pyenv (pyenv install $v)"
}

use_python "${PYVER:-3.12}" "${VENV:-}"

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
    local found
    found="$(find_python "$PYVER")" || python_missing "$PYVER"
    say "creating virtual environment $VENV with $found"
    "$found" -m venv "$VENV"
  fi
  "$PY" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$PYVER')" \
    || die "$VENV does not hold CPython $PYVER; remove it and run again"
  say "installing Python dependencies (CPython $PYVER)"
  "$PY" -m pip install -q --disable-pip-version-check -r "$ROOT/requirements-dev.txt"
}

# Builds and installs the plug-in (a wheel built from the C++ sources).
build_plugin() {
  say "building the plug-in (CPython $PYVER)"
  "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    -C build-dir="$VENV/build" "$ROOT"
}

setup_all() {
  ensure_system_packages
  ensure_venv
  build_plugin
}
