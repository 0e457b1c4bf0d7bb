"""The type stubs describe the built modules: mypy's stubtest compares every
name, kind, signature and value type of the .pyi files in src/ with the
modules as they import (the build under test, sanitized or not)."""

import ast
import importlib
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = ["velmora_saml.saml", "velmora_saml.views", "velmora_saml.replay_store", "velmora_saml.logout",
           "velmora_saml.idp_metadata", "velmora_saml.federation", "velmora_saml.login_policy"]

pytest.importorskip("mypy.stubtest")


def run_stubtest(tmp_path, *extra, stubs_dir=ROOT / "src"):
    config = tmp_path / "mypy.ini"
    # The toolkit and the host ship no type information; only our stubs are judged.
    config.write_text(f"[mypy]\nignore_missing_imports = True\nfollow_imports = silent\ncache_dir = {tmp_path / 'cache'}\n")
    env = dict(os.environ)
    env["MYPYPATH"] = os.pathsep.join([str(stubs_dir), str(ROOT / "host")])
    env["PYTHONPATH"] = os.pathsep.join(p for p in [env.get("PYTHONPATH", ""), str(ROOT / "host")] if p)
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *MODULES, "--mypy-config-file", str(config),
         *extra],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600,
    )


def test_stubs_agree_with_the_modules(tmp_path):
    result = run_stubtest(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_a_wrong_stub_is_caught(tmp_path):
    """The comparison can fail: a stub with a changed signature is reported."""
    stubs = tmp_path / "stubs" / "velmora_saml"
    stubs.mkdir(parents=True)
    for source in (ROOT / "src" / "velmora_saml").iterdir():
        if source.suffix in {".pyi", ".py", ".typed"}:
            (stubs / source.name).write_text(source.read_text())
    views = stubs / "views.pyi"
    text = views.read_text()
    assert "def login_failed(idp_id: Any, desc: Any)" in text
    views.write_text(text.replace("def login_failed(idp_id: Any, desc: Any)", "def login_failed(idp_id: Any)"))
    result = run_stubtest(tmp_path, stubs_dir=tmp_path / "stubs")
    assert result.returncode != 0
    assert "velmora_saml.views.login_failed" in result.stdout


def stub_constants(module_name):
    """(owner name or None, name, annotated builtin type) of every scalar constant in a stub."""
    stub = ROOT / "src" / (module_name.replace(".", "/") + ".pyi")
    tree = ast.parse(stub.read_text())
    scalars = {"int": int, "float": float, "str": str, "bool": bool}
    found = []

    def visit(body, owner):
        for node in body:
            if isinstance(node, ast.ClassDef):
                visit(node.body, node.name)
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                annotation = node.annotation
                if isinstance(annotation, ast.Subscript) and getattr(annotation.value, "id", "") == "ClassVar":
                    annotation = annotation.slice
                if isinstance(annotation, ast.Name) and annotation.id in scalars and node.target.id.isupper():
                    found.append((owner, node.target.id, scalars[annotation.id]))

    visit(tree.body, None)
    return found


@pytest.mark.parametrize("module_name", MODULES)
def test_scalar_constants_have_exactly_their_stub_type(module_name):
    """Type checkers let an int stand for a float; a reader of the stub should not be misled."""
    module = importlib.import_module(module_name)
    constants = stub_constants(module_name)
    assert constants or module_name == "velmora_saml.replay_store"
    for owner, name, expected in constants:
        value = getattr(getattr(module, owner) if owner else module, name)
        assert type(value) is expected, f"{owner or module_name}.{name} = {value!r}, stub says {expected.__name__}"
