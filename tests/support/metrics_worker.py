"""Runs the audit walk of tests/test_audit.py in a process of its own, on a
site with "metrics": true (unless "off" is given) and two more IdPs whose
settings come from remote metadata ("meta" from a readable file, "gone" from
a missing one), then prints JSON: whether prometheus_client was imported,
the counts since start, and the scrape of prometheus_client's default
registry (empty in multiprocess mode, where the test reads
PROMETHEUS_MULTIPROC_DIR itself).

    python -m tests.support.metrics_worker <scratch dir> [off]
"""

import json
import pathlib
import sys

from tests.support import sp_app
from tests.support.idp_metadata import idp_metadata_xml
from tests.support.metadata_helpers import remote_config
from tests.test_audit import CLIENT, WALK, post, site
from velmora.storage import ConfigStorage
from velmora_saml import audit, saml

# The steps after the walk, and the outcomes they add: logins (idp, outcome,
# reason) and one logout of idp1 without a SAML login in the session.
EXTRA_LOGINS = [("meta", "success", ""), ("gone", "error", "configuration")]


def main():
    scratch = pathlib.Path(sys.argv[1])
    document = scratch / "idp.xml"
    if not document.exists():
        document.write_bytes(idp_metadata_xml())
    settings = site()
    saml_settings = settings["authentication_policies"]["saml"]
    # Named otherwise than its id: the metrics go by the id of the URLs.
    saml_settings["identity_providers"]["meta"] = remote_config(str(document), "meta", idp_name="the meta IdP")
    saml_settings["identity_providers"]["gone"] = remote_config(str(scratch / "missing.xml"), "gone")
    if sys.argv[2:] != ["off"]:
        saml_settings["metrics"] = True
    # Validated before config.include, as a host may: that first fetch counts too.
    saml.SamlIDPConfig.validate_idp_config(saml_settings["identity_providers"]["meta"])
    app = sp_app.make_app(settings, ConfigStorage(sp_app.USERS), REMOTE_ADDR=CLIENT)
    for _, action, _, _ in WALK:
        action(app)
    post("meta")(app)
    app.get("/sso/saml/gone")
    app.get("/saml/logout/idp1")
    scrape = ""
    if "prometheus_client" in sys.modules:
        import prometheus_client

        scrape = prometheus_client.generate_latest().decode()
    print(json.dumps({"imported": "prometheus_client" in sys.modules, "counts": audit.counts(), "scrape": scrape}))


if __name__ == "__main__":
    main()
