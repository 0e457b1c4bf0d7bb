"""What the built extension modules link against and export."""

import os
import shutil
import subprocess

import pytest

import velmora_saml.idp_metadata
import velmora_saml.replay_store
import velmora_saml.saml
import velmora_saml.views

MODULES = [velmora_saml.saml, velmora_saml.views, velmora_saml.replay_store, velmora_saml.idp_metadata]


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf not installed")
@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_module_needs_only_the_c_library_and_exports_only_its_init(module):
    dynamic = subprocess.run(["readelf", "-d", "-W", module.__file__], capture_output=True, text=True, check=True)
    needed = {line.split("[")[1].rstrip("]") for line in dynamic.stdout.splitlines() if "(NEEDED)" in line}
    if os.environ.get("VELMORA_SAML_STAGE"):
        # The sanitizer build keeps its runtimes dynamic.
        needed -= {"libasan.so.8", "libubsan.so.1", "libstdc++.so.6", "libgcc_s.so.1", "libm.so.6"}
    assert not any("python" in lib for lib in needed), needed
    assert needed <= {"libc.so.6", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}, needed

    symbols = subprocess.run(["readelf", "--dyn-syms", "-W", module.__file__], capture_output=True, text=True,
                             check=True)
    exported = {
        fields[7]
        for fields in (line.split() for line in symbols.stdout.splitlines())
        if len(fields) >= 8 and fields[4] == "GLOBAL" and fields[6] != "UND"
    }
    assert exported == {"PyInit_" + module.__name__.rsplit(".", 1)[1]}
