"""Running this build of the plug-in in child processes."""

import os
import pathlib

import velmora_saml.saml as saml

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent


def child_env():
    """The environment of a child interpreter that imports this build of the
    plug-in (installed or staged), the stand-in host and the test support."""
    package_root = pathlib.Path(saml.__file__).resolve().parent.parent
    paths = [str(ROOT / "host"), str(package_root), str(ROOT)]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths + [env["PYTHONPATH"]] if env.get("PYTHONPATH") else paths)
    return env
