"""The distribution as users get it: scripts/build-dist.sh builds the sdist
and the manylinux wheels of CPython 3.12 and 3.13; each wheel's tag is checked
against the glibc symbol versions its modules need, and each is installed
into a fresh virtual environment of its interpreter (its dependencies from
the package index, no source tree on the path), and one real login runs
through it with the host set-up and the local-settings example of
docs/configuration.md.

VELMORA_SAML_DIST=<folder> tests an already built distribution instead.
"""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import time
import zipfile

import pytest

from tests.conftest import ROOT
from tests.support import saml_idp
from tests.support.settings import cert_body
from tests.test_docs import CERT_PLACEHOLDER, HOST, examples
from tests.test_operator_command import end_while_the_refresh_schedule_wakes

# One worker builds and installs the distribution once for all its tests; the
# first interpreter's pass builds and checks the wheels of every version.
pytestmark = [
    pytest.mark.slow,
    pytest.mark.xdist_group("wheel"),
    pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="the CPython 3.12 pass checks every wheel"),
]

VERSIONS = ("3.12", "3.13")
# The oldest glibc a wheel may ask for: what most production servers run.
OLDEST_ALLOWED = (2, 28)
# Bytes a release wheel may weigh (seven modules, 683 KiB measured, the runtime's demangler left out:
# measured below in the README; the demangler would add 165 KiB to each module).
WHEEL_BUDGET = 750_000
LEGACY_TAGS = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}

LOGIN = '''
import json, pathlib, sys

import webob

import velmora_saml.saml
from velmora.configs import UserConfig

import docs_host

here = pathlib.Path(__file__).parent
settings = json.loads((here / "auth.json").read_text())
app = docs_host.make_app(settings, {"u-bob": UserConfig("bob", email="bob@example.com")})
base = {"base_url": "https://velmora.example.com", "headers": {"Host": "velmora.example.com"}}
started = webob.Request.blank("/sso/saml/partner?return_to=/reports", **base).get_response(app)
form = {"SAMLResponse": (here / "response.txt").read_text(), "RelayState": "/reports"}
finished = webob.Request.blank("/saml/acs/partner", POST=form, **base).get_response(app)
print(json.dumps({
    "plugin": velmora_saml.saml.__file__,
    "path": sys.path,
    "sso": [started.status_int, started.location],
    "acs": [finished.status_int, finished.location, finished.headers.getall("Set-Cookie")],
}))
'''


def step(what, command, **kwargs):
    started = time.monotonic()
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, f"{what} failed:\n{result.stdout}\n{result.stderr}"
    return result, time.monotonic() - started


def glibc_of_tag(wheel_name):
    """The glibc a wheel's platform tags promise to be enough: the oldest
    one any of its tags names (pip installs it wherever one tag fits)."""
    found = []
    for tag in wheel_name.removesuffix(".whl").split("-")[-1].split("."):
        legacy = LEGACY_TAGS.get(tag.removesuffix("_x86_64"))
        versioned = re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", tag)
        assert legacy or versioned, f"{wheel_name}: not a manylinux tag: {tag}"
        found.append(legacy or (int(versioned[1]), int(versioned[2])))
    return min(found)


def glibc_needs(module):
    """Every glibc symbol version the shared object asks the loader for."""
    result, _ = step("objdump", ["objdump", "-T", str(module)], timeout=60)
    needs = set(re.findall(r"\bGLIBC_([0-9.]+|PRIVATE)\b", result.stdout))
    assert "PRIVATE" not in needs, f"{module.name} uses private glibc symbols"
    return {tuple(int(part) for part in need.split(".")) for need in needs}


def python_of(version):
    found = subprocess.run(["bash", "-c", f'source "{ROOT}/scripts/common.sh"; find_python {version}'],
                           capture_output=True, text=True)
    if found.returncode != 0:
        pytest.fail(f"CPython {version} not found: {found.stderr}")
    return found.stdout.strip()


@pytest.fixture(scope="module")
def old_glibc(tmp_path_factory):
    """The dynamic loader, C library and unwinder (libgcc_s) of Debian 11
    (glibc 2.31), the oldest
    release Debian's archive serves here, fetched with apt into a temporary
    folder (no CPython 3.12 or 3.13 for so old a glibc can be had, so the
    modules are loaded by its loader rather than imported)."""
    folder = tmp_path_factory.mktemp("bullseye")
    (folder / "lists" / "partial").mkdir(parents=True)
    (folder / "sources.list").write_text("deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
                                         "http://deb.debian.org/debian bullseye main\n")
    options = []
    for key, value in {"Dir::Etc::SourceList": folder / "sources.list", "Dir::Etc::SourceParts": folder / "none",
                       "Dir::State::Lists": folder / "lists", "Dir::State::status": "/dev/null",
                       "Dir::Cache::pkgcache": "", "Dir::Cache::srcpkgcache": "", "Debug::NoLocking": "1",
                       "APT::Sandbox::User": "root"}.items():
        options += ["-o", f"{key}={value}"]
    if not shutil.which("apt-get"):
        pytest.skip("no apt-get to fetch Debian 11's C library")
    for command in (["update"], ["download", "libc6", "libgcc-s1"]):
        fetched = subprocess.run(["apt-get", "-qq", *options, *command], cwd=folder, capture_output=True,
                                 text=True, timeout=600)
        if fetched.returncode != 0:
            pytest.skip(f"Debian 11's C library cannot be fetched: {fetched.stderr.strip()}")
    for pattern in ("libc6_2.31-*.deb", "libgcc-s1_*.deb"):
        (package,) = folder.glob(pattern)
        step("dpkg-deb", ["dpkg-deb", "-x", str(package), str(folder / "root")], timeout=120)
    libraries = folder / "root" / "lib" / "x86_64-linux-gnu"
    return libraries / "ld-2.31.so", libraries


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    given = os.environ.get("VELMORA_SAML_DIST")
    if given:
        return pathlib.Path(given)
    folder = tmp_path_factory.mktemp("dist")
    _, seconds = step("scripts/build-dist.sh", ["bash", str(ROOT / "scripts" / "build-dist.sh")],
                      env={**os.environ, "DIST_DIR": str(folder)}, timeout=1800)
    print(f"\nscripts/build-dist.sh: sdist and {len(VERSIONS)} wheels in {seconds:.0f} s")
    return folder


@pytest.fixture(scope="module")
def wheels(dist):
    found = {}
    for wheel in dist.glob("velmora_saml-*.whl"):
        tag = wheel.name.split("-")[2]
        found[f"{tag[2]}.{tag[3:]}"] = wheel
    assert sorted(found) == sorted(VERSIONS), [wheel.name for wheel in dist.glob("*.whl")]
    return found


@pytest.fixture(scope="module", params=VERSIONS)
def installed(request, wheels, tmp_path_factory):
    """(python of a fresh venv of that version with its wheel installed, seconds the install took)."""
    wheel = wheels[request.param]
    venv = tmp_path_factory.mktemp("venv") / "venv"
    step("venv", [python_of(request.param), "-m", "venv", str(venv)], timeout=300)
    python = venv / "bin" / "python"
    # With both extras: their packages come with the wheel.
    _, seconds = step("pip install", [str(python), "-m", "pip", "install", "-q", f"{wheel}[memcache,metrics]"],
                      timeout=1800)
    print(f"\nwheel {wheel.name}: {wheel.stat().st_size / 1024:.0f} KiB; "
          f"installed with its dependencies into a fresh venv in {seconds:.1f} s")
    return python, seconds


@pytest.mark.parametrize("version", VERSIONS)
def test_wheel_is_manylinux_and_carries_its_metadata(wheels, version, tmp_path):
    wheel = wheels[version]
    tag = f"cp{version.replace('.', '')}"
    assert f"-{tag}-{tag}-manylinux" in wheel.name
    promised = glibc_of_tag(wheel.name)
    assert promised <= OLDEST_ALLOWED, f"{wheel.name} needs glibc {promised}"
    result, _ = step("auditwheel show", [sys.executable, "-m", "auditwheel", "show", str(wheel)], timeout=300)
    shown = " ".join(result.stdout.split())
    assert (f'{wheel.name} is consistent with the following platform tag: '
            f'"manylinux_{promised[0]}_{promised[1]}_x86_64"') in shown
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        metadata = archive.read("velmora_saml-0.1.0.dist-info/METADATA").decode()
        archive.extractall(tmp_path)
    assert "velmora_saml-0.1.0.dist-info/licenses/LICENSE" in names
    assert {"velmora_saml/__init__.py", "velmora_saml/__main__.py", "velmora_saml/py.typed"} <= names
    modules = sorted(tmp_path.glob("velmora_saml/*.so"))
    assert {module.name.split(".")[0] for module in modules} == {"saml", "views", "replay_store", "logout",
                                                               "idp_metadata", "federation", "login_policy"}
    # The tag is a promise about every module: none may ask for a newer glibc.
    sizes = []
    for module in modules:
        needs = glibc_needs(module)
        assert needs and max(needs) <= promised, f"{module.name} needs glibc {max(needs)}, tag says {promised}"
        sizes.append(f"{module.name.split('.')[0]} {module.stat().st_size / 1024:.0f} KiB")
    print(f"\n{wheel.name}: {wheel.stat().st_size / 1024:.0f} KiB; modules: {', '.join(sizes)}")
    assert wheel.stat().st_size <= WHEEL_BUDGET, f"{wheel.name}: {wheel.stat().st_size} bytes"
    # Nothing of the stand-in host or the tests goes to users.
    assert not [name for name in names if name.startswith(("velmora/", "tests/", "host/"))]
    assert "License-Expression: MIT" in metadata
    assert "Classifier: Framework :: Pyramid" in metadata
    assert "Provides-Extra: memcache" in metadata and "Provides-Extra: metrics" in metadata
    assert "Project-URL" not in metadata



@pytest.mark.parametrize("version", VERSIONS)
def test_every_module_loads_with_an_older_glibc(wheels, version, old_glibc, tmp_path):
    loader, libraries = old_glibc
    with zipfile.ZipFile(wheels[version]) as archive:
        archive.extractall(tmp_path, [name for name in archive.namelist() if name.endswith(".so")])
    modules = sorted(tmp_path.glob("velmora_saml/*.so"))
    assert len(modules) == 7
    for module in modules:
        # The loader lists what it loaded; a missing library or symbol
        # version goes to stderr (its exit status stays 0).
        loaded, _ = step("ld.so --list", [str(loader), "--library-path", str(libraries), "--list", str(module)],
                         timeout=60)
        assert loaded.stderr == "", loaded.stderr
        for library in ("libc.so.6", "libgcc_s.so.1"):
            assert f"{library} => {libraries}/{library}" in loaded.stdout, loaded.stdout

def test_sdist_builds_everything_again(dist):
    (sdist,) = dist.glob("velmora_saml-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert {"LICENSE", "CHANGES.md", "README.md", "pyproject.toml", "CMakeLists.txt", "docs/configuration.md",
            "src/saml/idp_config.cpp", "src/views/views.cpp", "src/velmora_saml/__main__.py",
            "cmake/zig-toolchain.cmake", "cmake/zig-c++", "cmake/no_demangler.cpp"} <= names
    assert not [name for name in names if name.startswith((".venv", "build/", "dist/"))]


def prepare_login(folder):
    """The files a login through an installed wheel needs, in `folder`: the
    stand-in host, the documented settings, a signed response and LOGIN
    (scripts/old-glibc-check.sh uses them too)."""
    shutil.copytree(ROOT / "host" / "velmora", folder / "host" / "velmora")
    (folder / "host" / "docs_host.py").write_text(examples()["host"])
    settings = json.loads(examples()["local-settings"])
    text = json.dumps(settings).replace(json.dumps(CERT_PLACEHOLDER), json.dumps(cert_body("idp.crt")))
    (folder / "auth.json").write_text(text)
    (folder / "response.txt").write_text(saml_idp.build_response(
        "someone@partner.example", attributes={"mail": "bob@example.com"}, idp_id="partner", host=HOST,
        issuer="https://idp.partner.example/saml/metadata"))
    (folder / "login.py").write_text(LOGIN)


def host_only_env(folder):
    """The environment of a program run with an installed wheel: nothing of
    this checkout's Python set-up, the stand-in host copied into `folder`."""
    env = {key: value for key, value in os.environ.items() if not key.startswith(("PYTHON", "VELMORA"))}
    env["PYTHONPATH"] = str(folder / "host")
    return env


def test_one_real_login_through_the_installed_wheel(installed, tmp_path):
    python, _ = installed
    prepare_login(tmp_path)
    env = host_only_env(tmp_path)

    result, _ = step("login", [str(python), "login.py"], cwd=tmp_path, env=env, timeout=300)
    outcome = json.loads(result.stdout)
    site_packages = python.parent.parent / "lib"
    assert pathlib.Path(outcome["plugin"]).is_relative_to(site_packages)
    assert not [entry for entry in outcome["path"] if entry.startswith(str(ROOT))]
    status, location = outcome["sso"]
    assert (status, location.split("?")[0]) == (302, "https://idp.partner.example/saml/sso")
    status, location, cookies = outcome["acs"]
    assert (status, location) == (302, f"https://{HOST}/reports")
    assert any(cookie.startswith("auth_tkt=") for cookie in cookies), cookies

    # The operator command of the installed wheel: the example passes, and
    # nothing but the report is printed.
    check, _ = step("check", [str(python), "-m", "velmora_saml", "check", "auth.json"], cwd=tmp_path, env=env,
                    timeout=300)
    assert check.stdout.splitlines()[0] == "partner: valid"
    assert check.stderr == ""
    step("the extras' packages", [str(python), "-c", "import pymemcache, prometheus_client"], timeout=60)


def test_the_installed_wheel_ends_cleanly_while_a_thread_of_its_own_comes_back(installed, published_idp, tmp_path):
    python, _ = installed
    shutil.copytree(ROOT / "host" / "velmora", tmp_path / "host" / "velmora")
    result = end_while_the_refresh_schedule_wakes(python, published_idp.url, tmp_path, host_only_env(tmp_path))
    assert (result.returncode, result.stdout.splitlines()[:1]) == (0, ["idp1: valid"]), result.stderr[-2000:]
