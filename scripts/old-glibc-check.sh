#!/usr/bin/env bash
# Imports the release wheels under an older glibc with a real CPython, and
# logs in through them: a minimal Debian 11 (bullseye, glibc 2.31) root made
# with debootstrap; in it, CPython built from the upstream source that
# Debian's archive carries in its python3.x source package (fetched with
# `apt-get source --download-only` through a private source list), a fresh
# venv, the wheel of scripts/build-dist.sh installed with its dependencies
# from PyPI, the five modules imported and one login run as the wheel test
# runs it (the same script, fixture files made by the test's own helpers).
#
# Needs root (debootstrap, chroot, mount) and takes about 10 minutes on 2
# cores, most of it the interpreter's build: run by hand, not by
# the test command or CI. Everything happens in a `mktemp -d` folder removed
# at the end (KEEP=1 keeps it; /proc and /dev/shm of the root are unmounted
# either way). VERSIONS (default: every supported one) picks the CPython
# versions; a version whose source package Debian's archive no longer serves
# is reported and skipped, and the run fails if no version could be checked.
# DIST_DIR=<folder> uses wheels already built there instead of building them.
# Exits non-zero when a step, an import or the login fails.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

[ "$(id -u)" -eq 0 ] || die "needs root: debootstrap, chroot and mount (run it as root)"

MIRROR=http://deb.debian.org/debian
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
OLD_SUITE=bullseye
OLD_GLIBC="glibc 2.31"
# Where a python3.x source package may still be: the stable release first
# (its pool keeps its files), then the moving suites.
SOURCE_SUITES="trixie forky sid experimental bookworm-backports"
VERSIONS="${VERSIONS:-$SUPPORTED_PYTHONS}"

WORK="$(mktemp -d)"
R="$WORK/root"
TIMES=()

mounted_under() { awk -v root="$1" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/mounts | sort -r; }

cleanup() {
  local status=$? point left
  for point in $(mounted_under "$R"); do
    umount "$point" 2>/dev/null || umount -l "$point" || true
  done
  [ ${#TIMES[@]} -eq 0 ] || printf '    %s\n' "times:" "${TIMES[@]}" >&2
  left="$(mounted_under "$R")"
  if [ -n "$left" ]; then
    # Never remove a tree that still has something mounted in it.
    say "still mounted, $WORK left in place: $left"
  elif [ "${KEEP:-0}" = 1 ]; then
    say "kept $WORK"
  else
    rm -rf "$WORK"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Runs a command, its output to $WORK/<name>.log, and records how long it took.
step() {
  local name="$1" started=$SECONDS
  shift
  say "$name"
  if ! "$@" >"$WORK/$name.log" 2>&1; then
    tail -n 40 "$WORK/$name.log" >&2
    die "$name failed (log: $WORK/$name.log; KEEP=1 keeps it)"
  fi
  TIMES+=("$name: $((SECONDS - started)) s")
}

# A command inside the old root, with none of this shell's environment.
# TLS clients there (pip) trust what the host trusts: its CA bundle, copied in.
in_root() {
  chroot "$R" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive SSL_CERT_FILE=/etc/host-ca.crt PIP_CERT=/etc/host-ca.crt "$@"
}

# apt-get or apt-cache ($2) with a private deb-src list of one suite ($1):
# the host's apt state is left alone; the list is fetched once per suite.
apt_src() {
  local suite="$1" tool="$2" dir="$WORK/apt/$1"
  shift 2
  local options=(-o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=$dir/none"
    -o "Dir::State::Lists=$dir/lists" -o "Dir::State::status=/dev/null" -o "Dir::Cache::pkgcache="
    -o "Dir::Cache::srcpkgcache=" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
  if [ ! -d "$dir" ]; then
    mkdir -p "$dir/lists/partial"
    echo "deb-src [signed-by=$KEYRING] $MIRROR $suite main" >"$dir/sources.list"
    apt-get -qq "${options[@]}" update >&2 || return 1
  fi
  "$tool" -qq "${options[@]}" "$@"
}

# Prints the upstream source tarball of CPython $1 fetched from the first
# suite that serves it (apt checks it against the suite's signed index).
fetch_source() {
  local version="$1" suite dir listed
  for suite in $SOURCE_SUITES; do
    listed="$(apt_src "$suite" apt-cache showsrc "python$version" 2>/dev/null || true)"
    grep -q "^Package: python$version$" <<<"$listed" || continue
    dir="$WORK/src/$version-$suite"
    mkdir -p "$dir"
    if (cd "$dir" && apt_src "$suite" apt-get source --download-only "python$version" >&2); then
      say "CPython $version: source package from $suite: $(basename "$dir"/python"$version"_*.dsc)"
      ls "$dir"/python"$version"_*.orig.tar.* | grep -v '\.asc$'
      return 0
    fi
    say "CPython $version: $suite lists python$version but its files could not be fetched"
  done
  return 1
}

# The host side of the login: the wheel test's own script and fixture files
# (host set-up and local settings of docs/configuration.md, a signed
# response), then its checks on what the script printed. Runs with the
# project's venv and the plug-in from the wheel of its version.
login_helper() {
  PYTHONPATH="$ROOT:$ROOT/host:$WORK/plugin" "$PY" - "$@" <<'EOF'
import json, pathlib, sys

from tests.test_docs import HOST
from tests.test_wheel import prepare_login

command, folder = sys.argv[1], pathlib.Path(sys.argv[2])
if command == "prepare":
    prepare_login(folder)
else:
    venv, version = sys.argv[3], sys.argv[4]
    probe = json.loads((folder / "probe.json").read_text())
    outcome = json.loads((folder / "login.json").read_text())
    site = f"{venv}/lib/python{version}/site-packages/velmora_saml/"
    assert probe["libc"] == sys.argv[5], probe
    assert probe["python"].startswith(version + "."), probe
    assert probe["executable"].startswith(venv + "/"), probe
    assert sorted(probe["modules"]) == ["federation", "idp_metadata", "logout", "replay_store", "saml", "views"], probe
    assert all(path.startswith(site) and path.endswith(".so") for path in probe["modules"].values()), probe
    assert outcome["plugin"].startswith(site), outcome
    status, location = outcome["sso"]
    assert (status, location.split("?")[0]) == (302, "https://idp.partner.example/saml/sso"), outcome
    status, location, cookies = outcome["acs"]
    assert (status, location) == (302, f"https://{HOST}/reports"), outcome
    assert any(cookie.startswith("auth_tkt=") for cookie in cookies), outcome
    check = (folder / "check.txt").read_text().splitlines()
    assert check[0] == "partner: valid", check
    print(f"CPython {probe['python']} on {probe['libc']}: the five modules imported from {site}, "
          f"login 302 to {location} with auth_tkt, operator check: {check[0]}")
EOF
}

# Imports the five modules; says which interpreter and C library did it.
PROBE='
import importlib, json, os, platform, sys
names = ["saml", "views", "logout", "replay_store", "idp_metadata", "federation"]
print(json.dumps({"python": platform.python_version(), "libc": os.confstr("CS_GNU_LIBC_VERSION"),
                  "executable": sys.executable,
                  "modules": {name: importlib.import_module("velmora_saml." + name).__file__ for name in names}}))
'

check_version() {
  local version="$1" tarball="$2" tag wheel source venv login
  tag="cp${version/./}"
  wheel="$(ls "$DIST"/velmora_saml-*-"$tag"-"$tag"-manylinux*.whl)" || die "no $tag wheel in $DIST"
  venv="/venv$version"
  login="/login$version"
  mkdir -p "$R/build/$version" "$R/dist"
  step "$version-unpack" tar -xf "$tarball" -C "$R/build/$version"
  source="$(cd "$R" && echo build/"$version"/*/configure)"
  [ -f "$R/$source" ] || die "no configure script in $tarball"
  source="/$(dirname "$source")"
  # A plain build (no PGO or LTO): all the check needs is a working interpreter.
  step "$version-configure" in_root sh -c "cd $source && nice ./configure --prefix=/opt/python$version"
  step "$version-make" in_root nice make -C "$source" -j2
  step "$version-install" in_root nice make -C "$source" altinstall
  step "$version-modules" in_root "/opt/python$version/bin/python$version" -c \
    'import ssl, zlib, ctypes, sqlite3, bz2, lzma, ensurepip, venv; print(ssl.OPENSSL_VERSION)'
  cp "$wheel" "$R/dist/"
  step "$version-venv" in_root "/opt/python$version/bin/python$version" -m venv "$venv"
  step "$version-pip-install" in_root "$venv/bin/python" -m pip install --no-cache-dir --disable-pip-version-check \
    "/dist/$(basename "$wheel")[memcache,metrics]"
  in_root "$venv/bin/python" -m pip list --disable-pip-version-check 2>/dev/null \
    | grep -iE '^(lxml|xmlsec|python3-saml|velmora.saml) ' >&2 || true
  grep -iE 'Building wheel for|Downloading (lxml|xmlsec)' "$WORK/$version-pip-install.log" >&2 || true

  mkdir -p "$R$login"
  step "$version-login-prepare" login_helper prepare "$R$login"
  # Each one's standard output is what the checks read; its log keeps stderr.
  printf '%s' "$PROBE" >"$R$login/probe.py"
  step "$version-import" in_root sh -c "cd $login && PYTHONPATH=$login/host $venv/bin/python probe.py >probe.json"
  step "$version-login" in_root sh -c "cd $login && PYTHONPATH=$login/host $venv/bin/python login.py >login.json"
  step "$version-operator-check" in_root sh -c \
    "cd $login && PYTHONPATH=$login/host $venv/bin/python -m velmora_saml check auth.json >check.txt"
  step "$version-verify" login_helper verify "$R$login" "$venv" "$version" "$OLD_GLIBC"
  cat "$WORK/$version-verify.log" >&2
}

started=$SECONDS
if [ -n "${DIST_DIR:-}" ]; then
  DIST="$DIST_DIR"
else
  DIST="$WORK/dist"
  step build-dist nice env DIST_DIR="$DIST" bash "$ROOT/scripts/build-dist.sh"
fi
# The host side of the login imports the plug-in: the wheel of the project
# venv's version, unpacked.
host_tag="cp${PYVER/./}"
"$PY" -m zipfile -e "$(ls "$DIST"/velmora_saml-*-"$host_tag"-"$host_tag"-manylinux*.whl)" "$WORK/plugin"

CHECKED=()
TARBALLS=()
sources_started=$SECONDS
for version in $VERSIONS; do
  if tarball="$(fetch_source "$version")"; then
    CHECKED+=("$version")
    TARBALLS+=("$tarball")
  else
    say "CPython $version: no python$version source package in Debian's $SOURCE_SUITES: not checked"
  fi
done
TIMES+=("apt-get source: $((SECONDS - sources_started)) s")
[ ${#CHECKED[@]} -gt 0 ] || die "no CPython source for any of $VERSIONS in Debian's archive: nothing checked"

command -v debootstrap >/dev/null || step install-debootstrap apt-get install -y -qq debootstrap
step debootstrap nice debootstrap --variant=minbase "$OLD_SUITE" "$R" "$MIRROR"
mount -t proc proc "$R/proc"
mount -t tmpfs shm "$R/dev/shm"
cp /etc/resolv.conf "$R/etc/resolv.conf"
cp "${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}" "$R/etc/host-ca.crt"
step root-glibc in_root /lib/x86_64-linux-gnu/libc.so.6
head -n 1 "$WORK/root-glibc.log" >&2
grep -q "version ${OLD_GLIBC#glibc }\." "$WORK/root-glibc.log" || die "the $OLD_SUITE root is not $OLD_GLIBC"
step apt-update in_root apt-get -qq update
# The interpreter's build (ssl, zlib, ctypes, sqlite3, bz2, lzma for pip and
# the stdlib) and xmlsec's in case pip has to build it from source.
step apt-install in_root nice apt-get install -y -qq --no-install-recommends gcc make libc6-dev pkg-config \
  libssl-dev zlib1g-dev libffi-dev libsqlite3-dev libbz2-dev liblzma-dev xz-utils ca-certificates \
  libxml2-dev libxmlsec1-dev libxmlsec1-openssl

for i in "${!CHECKED[@]}"; do
  check_version "${CHECKED[$i]}" "${TARBALLS[$i]}"
done
say "checked under $OLD_SUITE ($OLD_GLIBC): CPython ${CHECKED[*]}; in $((SECONDS - started)) s"
