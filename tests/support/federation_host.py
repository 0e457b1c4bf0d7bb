"""A worker process of a stand-in host serving one federation entry over
HTTP on 127.0.0.1 (waitress), for the tests that run several workers on one
cache_dir.

    python -m tests.support.federation_host AUTH_SETTINGS_JSON PORT

Validates the settings at start, as a host does, then serves the plug-in's
routes until it is terminated, as behind a TLS proxy (https URLs); requests
must carry `Host: sp.example.test`.
"""

import json
import pathlib
import sys

import waitress

from tests.support import sp_app
from velmora.storage import ConfigStorage
from velmora_saml import saml


def main():
    settings = json.loads(pathlib.Path(sys.argv[1]).read_text())
    saml.validate_saml_settings(settings, 30)
    app = sp_app.make_app(settings, ConfigStorage(sp_app.USERS)).app
    # As behind a TLS proxy: the URLs the responses name are https ones.
    waitress.serve(app, host="127.0.0.1", port=int(sys.argv[2]), threads=2, url_scheme="https", _quiet=True)


if __name__ == "__main__":
    main()
