"""The distribution as users get it: scripts/build-dist.sh builds the sdist
and the manylinux wheel; the wheel is installed into a fresh virtual
environment (its dependencies from the package index, no source tree on the
path), and one real login runs through it with the host set-up and the
local-settings example of docs/configuration.md.

VELMORA_SAML_DIST=<folder> tests an already built distribution instead.
"""

import json
import os
import pathlib
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

# One worker builds and installs the distribution once for all its tests.
pytestmark = [pytest.mark.slow, pytest.mark.xdist_group("wheel")]

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


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    given = os.environ.get("VELMORA_SAML_DIST")
    if given:
        return pathlib.Path(given)
    folder = tmp_path_factory.mktemp("dist")
    step("scripts/build-dist.sh", ["bash", str(ROOT / "scripts" / "build-dist.sh")],
         env={**os.environ, "DIST_DIR": str(folder)}, timeout=1800)
    return folder


@pytest.fixture(scope="module")
def wheel(dist):
    (found,) = dist.glob("velmora_saml-*.whl")
    return found


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    """(python of a fresh venv with the wheel installed, seconds the install took)."""
    venv = tmp_path_factory.mktemp("venv") / "venv"
    step("venv", [sys._base_executable, "-m", "venv", str(venv)], timeout=300)
    python = venv / "bin" / "python"
    _, seconds = step("pip install", [str(python), "-m", "pip", "install", "-q", str(wheel)], timeout=1800)
    print(f"\nwheel {wheel.name}: {wheel.stat().st_size / 1024:.0f} KiB; "
          f"installed with its dependencies into a fresh venv in {seconds:.1f} s")
    return python, seconds


def test_wheel_is_manylinux_and_carries_its_metadata(wheel):
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert f"-{tag}-{tag}-manylinux_" in wheel.name
    result, _ = step("auditwheel show", [sys.executable, "-m", "auditwheel", "show", str(wheel)], timeout=300)
    shown = " ".join(result.stdout.split())
    assert f'{wheel.name} is consistent with the following platform tag: "manylinux_' in shown
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        metadata = archive.read("velmora_saml-0.1.0.dist-info/METADATA").decode()
    assert "velmora_saml-0.1.0.dist-info/licenses/LICENSE" in names
    assert {"velmora_saml/__init__.py", "velmora_saml/__main__.py", "velmora_saml/py.typed"} <= names
    modules = {name.split("/")[-1].split(".")[0] for name in names if name.endswith(".so")}
    assert modules == {"saml", "views", "replay_store", "logout", "idp_metadata"}
    # Nothing of the stand-in host or the tests goes to users.
    assert not [name for name in names if name.startswith(("velmora/", "tests/", "host/"))]
    assert "License-Expression: MIT" in metadata
    assert "Classifier: Framework :: Pyramid" in metadata
    assert "Project-URL" not in metadata


def test_sdist_builds_everything_again(dist):
    (sdist,) = dist.glob("velmora_saml-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert {"LICENSE", "CHANGES.md", "README.md", "pyproject.toml", "CMakeLists.txt", "docs/configuration.md",
            "src/saml/idp_config.cpp", "src/views/views.cpp", "src/velmora_saml/__main__.py"} <= names
    assert not [name for name in names if name.startswith((".venv", "build/", "dist/"))]


def test_one_real_login_through_the_installed_wheel(installed, tmp_path):
    python, _ = installed
    shutil.copytree(ROOT / "host" / "velmora", tmp_path / "host" / "velmora")
    (tmp_path / "host" / "docs_host.py").write_text(examples()["host"])
    settings = json.loads(examples()["local-settings"])
    text = json.dumps(settings).replace(json.dumps(CERT_PLACEHOLDER), json.dumps(cert_body("idp.crt")))
    (tmp_path / "auth.json").write_text(text)
    (tmp_path / "response.txt").write_text(saml_idp.build_response(
        "someone@partner.example", attributes={"mail": "bob@example.com"}, idp_id="partner", host=HOST,
        issuer="https://idp.partner.example/saml/metadata"))
    (tmp_path / "login.py").write_text(LOGIN)
    env = {key: value for key, value in os.environ.items() if not key.startswith(("PYTHON", "VELMORA"))}
    env["PYTHONPATH"] = str(tmp_path / "host")

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
