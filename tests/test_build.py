"""What the built extension modules link against and export."""

import os
import pathlib
import re
import shutil
import subprocess

import pytest

import velmora_saml.federation
import velmora_saml.idp_metadata
import velmora_saml.login_policy
import velmora_saml.logout
import velmora_saml.replay_store
import velmora_saml.saml
import velmora_saml.views

MODULES = [velmora_saml.saml, velmora_saml.views, velmora_saml.replay_store, velmora_saml.logout,
           velmora_saml.idp_metadata, velmora_saml.federation, velmora_saml.login_policy]


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf not installed")
@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_module_needs_only_the_c_library_and_its_unwinder_and_exports_only_its_init(module):
    dynamic = subprocess.run(["readelf", "-d", "-W", module.__file__], capture_output=True, text=True, check=True)
    needed = {line.split("[")[1].rstrip("]") for line in dynamic.stdout.splitlines() if "(NEEDED)" in line}
    if os.environ.get("VELMORA_SAML_STAGE"):
        # The sanitizer build keeps its runtimes dynamic.
        needed -= {"libasan.so.8", "libubsan.so.1", "libstdc++.so.6", "libgcc_s.so.1", "libm.so.6"}
    assert not any("python" in lib for lib in needed), needed
    # The unwinder is the shared one the C library itself uses to end a
    # thread: a copy of the modules' own aborts the process then.
    assert "libgcc_s.so.1" in needed or os.environ.get("VELMORA_SAML_STAGE"), needed
    assert needed <= {"libc.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}, needed

    symbols = subprocess.run(["readelf", "--dyn-syms", "-W", module.__file__], capture_output=True, text=True,
                             check=True)
    exported = {
        fields[7]
        for fields in (line.split() for line in symbols.stdout.splitlines())
        if len(fields) >= 8 and fields[4] == "GLOBAL" and fields[6] != "UND"
    }
    assert exported == {"PyInit_" + module.__name__.rsplit(".", 1)[1]}


SOURCES = pathlib.Path(__file__).resolve().parent.parent / "src"
# C API calls only the helper layer makes: those that hand out a borrowed
# reference (the layer takes its own before any Python code can run), and
# those that take or set the exception in flight or being handled (`Caught`
# is the one way to write an except clause).
LAYER_ONLY_CALLS = re.compile(
    r"\b(PyDict_GetItem\w*|PyDict_Next|PyList_GetItem|PyList_GET_ITEM|PyTuple_GetItem|PyTuple_GET_ITEM|"
    r"PySequence_Fast_GET_ITEM|PySequence_Fast_ITEMS|PyWeakref_GetObject|PyWeakref_GET_OBJECT|PyEval_Get\w+|"
    r"PyModule_GetDict|PyCFunction_GetSelf|PyErr_GetRaisedException|PyErr_Fetch|PyErr_GetHandledException|"
    r"PyErr_SetHandledException)\b")
# The interpreter's private and internal names (and structures whose fields
# are no API).
PRIVATE_API = re.compile(r"\b(_Py\w+|PyCFunctionObject)\b")


def cpp_sources():
    files = sorted(SOURCES.rglob("*.cpp")) + sorted(SOURCES.rglob("*.hpp"))
    assert len(files) >= 10, files
    return files


def code_of(path):
    """The file without its comments, which may name what the code avoids."""
    return re.sub(r"//[^\n]*", "", path.read_text())


def test_only_the_helper_layer_borrows_references_and_catches_exceptions():
    offenders = {str(path.relative_to(SOURCES)): sorted(set(LAYER_ONLY_CALLS.findall(code_of(path))))
                 for path in cpp_sources() if path.parent.name != "pyobj"}
    assert {path: calls for path, calls in offenders.items() if calls} == {}
    # The rule would catch a call (the pattern is not dead).
    assert LAYER_ONLY_CALLS.search("Ref x = Ref::borrow(PyDict_GetItemWithError(d, k));")


def test_the_sources_use_the_public_c_api_only():
    offenders = {str(path.relative_to(SOURCES)): sorted(set(PRIVATE_API.findall(code_of(path))))
                 for path in cpp_sources()}
    assert {path: names for path, names in offenders.items() if names} == {}
    assert PRIVATE_API.search("Py_SET_REFCNT(t, _Py_IMMORTAL_REFCNT);")
