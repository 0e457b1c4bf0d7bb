"""The metrics of "metrics": true, scraped after the audit walk of
tests/test_audit.py, in one process and in prometheus_client's multiprocess
mode (two worker processes sharing PROMETHEUS_MULTIPROC_DIR); and what
happens without the key or without prometheus_client."""

import collections
import json
import os
import subprocess
import sys
import time

import pytest

from tests.conftest import ROOT
from tests.support.metrics_worker import EXTRA_LOGINS
from tests.test_audit import WALK
from velmora_saml import idp_report
from velmora_saml import audit

prometheus_client = pytest.importorskip("prometheus_client")
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402


def run_worker(scratch, *args, env=None):
    # Under the sanitizers PYTHONPATH names the instrumented build: kept.
    paths = [str(ROOT), str(ROOT / "host"), *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))]
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join(paths), **(env or {})}
    result = subprocess.run([sys.executable, "-m", "tests.support.metrics_worker", str(scratch), *args],
                            capture_output=True, text=True, env=environment, cwd=ROOT, timeout=120)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def expected_logins(workers):
    """{(idp, outcome, reason): count} of the walk and the worker's extra steps."""
    expected = collections.Counter()
    for _, _, (event, outcome, reason, idp, _, _), _ in WALK:
        expected[("" if reason == "idp_unknown" else idp, outcome, reason or "")] += workers
    for idp, outcome, reason in EXTRA_LOGINS:
        expected[(idp, outcome, reason)] += workers
    return dict(expected)


def samples(families):
    """{(sample name, frozen labels): value}."""
    return {(s.name, frozenset(s.labels.items())): s.value for family in families for s in family.samples}


def check_scrape(found, workers):
    logins = {(dict(labels)["idp"], dict(labels)["outcome"], dict(labels)["reason"]): value
              for (name, labels), value in found.items() if name == "velmora_saml_logins_total"}
    assert logins == expected_logins(workers)
    callbacks = sum(value for (name, labels), value in found.items() if name == "velmora_saml_login_seconds_count")
    # Every login outcome but those of the SSO view ("/sso/saml/...") is a callback.
    assert callbacks == workers * (len(WALK) - 2 + 1)
    refreshes = {(dict(labels)["idp"], dict(labels)["outcome"]): value
                 for (name, labels), value in found.items() if name == "velmora_saml_metadata_refreshes_total"}
    assert refreshes == {("meta", "success"): workers, ("gone", "failure"): workers}
    not_after = {(dict(labels)["idp"], dict(labels)["role"]): value
                 for (name, labels), value in found.items() if name == "velmora_saml_certificate_not_after_seconds"}
    idp_cert = idp_report.certificate_facts((ROOT / "tests/data/idp.crt").read_text())[1].timestamp()
    sp_cert = idp_report.certificate_facts((ROOT / "tests/data/sp.crt").read_text())[1].timestamp()
    assert not_after[("meta", "idp_signing")] == idp_cert
    assert not_after[("idp1", "sp")] == sp_cert
    ages = {dict(labels)["idp"]: value for (name, labels), value in found.items()
            if name == "velmora_saml_metadata_age_seconds"}
    assert {"idp1", "meta"} <= set(ages) and all(0 <= age < 120 for age in ages.values()), ages
    logouts = {labels: value for (name, labels), value in found.items() if name == "velmora_saml_logouts_total"}
    assert logouts == {frozenset({"idp": "idp1", "event": "logout", "outcome": "success"}.items()): workers}
    states = {dict(labels)["idp"]: dict(labels)["state"] for (name, labels), value in found.items()
              if name == "velmora_saml_idp_state" and value == 1}
    assert states == {"idp1": "in_service", "mail": "in_service", "asked": "in_service", "off": "disabled",
                      "broken": "invalid", "meta": "in_service", "gone": "invalid"}
    assert {dict(labels)["idp"] for (name, labels) in found if name == "velmora_saml_idp_state"} == set(states)


def test_single_process(tmp_path):
    ran = run_worker(tmp_path)
    assert ran["imported"]
    check_scrape(samples(text_string_to_metric_families(ran["scrape"])), workers=1)
    assert sum(ran["counts"]["login"].values()) == len(WALK) + len(EXTRA_LOGINS)


def test_multiprocess_mode(tmp_path):
    from prometheus_client import CollectorRegistry
    from prometheus_client.multiprocess import MultiProcessCollector

    shared = tmp_path / "prometheus"
    shared.mkdir()
    for _ in range(2):
        run_worker(tmp_path, env={"PROMETHEUS_MULTIPROC_DIR": str(shared)})
    registry = CollectorRegistry()
    MultiProcessCollector(registry, path=str(shared))
    check_scrape(samples(registry.collect()), workers=2)


def test_without_the_key_nothing_is_imported_and_counts_are_kept(tmp_path):
    ran = run_worker(tmp_path, "off")
    assert not ran["imported"] and ran["scrape"] == ""
    assert sum(ran["counts"]["login"].values()) == len(WALK) + len(EXTRA_LOGINS)


@pytest.mark.parametrize("value, error", [
    (True, None),
    (False, None),
    ("yes", '"metrics" must be true or false'),
], ids=["on", "off", "not-a-flag"])
def test_the_key_is_checked(value, error):
    if error is None:
        assert audit.metrics_wanted({"metrics": value}) is value
    else:
        with pytest.raises(ValueError, match=error):
            audit.metrics_wanted({"metrics": value})


def test_without_prometheus_client_the_key_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "prometheus_client", None)
    with pytest.raises(ValueError, match=r"pip install velmora_saml\[metrics\]"):
        audit.metrics_wanted({"metrics": True})


def test_includeme_refuses_a_wrong_key():
    from pyramid.exceptions import ConfigurationError

    from tests.support import settings as test_settings
    from tests.support.sp_app import USERS, make_app
    from velmora.storage import ConfigStorage

    settings = test_settings.auth_settings(("idp1", test_settings.idp_config("idp1")))
    settings["authentication_policies"]["saml"]["metrics"] = "yes"
    with pytest.raises(ConfigurationError, match='"metrics" must be true or false'):
        make_app(settings, ConfigStorage(USERS))


def test_the_documented_codes_are_the_codes():
    import re

    from tests.test_docs import DOC

    text = DOC.read_text().split("<!-- reason codes -->", 1)[1].split("\n\n", 1)[0]
    rows = dict(re.findall(r"^\| `(\w+)` \| (\w+) \|", text, re.M))
    assert rows == {code: "error" if code in audit.SITE_FAULTS else "refused" for code in audit.REASONS}


def test_the_documented_metrics_view_serves_the_metrics():
    import types

    from tests.test_docs import examples

    namespace = {}
    exec(compile(examples()["metrics-view"], "metrics-view", "exec"), namespace)
    audit.enable_metrics()
    response = namespace["metrics_view"](types.SimpleNamespace())
    assert response.content_type == "text/plain"
    assert b"# TYPE velmora_saml_logins_total counter" in response.body


@pytest.mark.parametrize("value, status", [("yes", 1), (True, 0)], ids=["not-a-flag", "on"])
def test_check_reports_a_wrong_key(tmp_path, value, status):
    from tests.support import settings as test_settings
    from tests.support.metadata_helpers import STABLE
    from tests.test_operator_command import run

    entry = test_settings.idp_config("good", settings=test_settings.toolkit_settings("good", **STABLE))
    settings = test_settings.auth_settings(("good", entry))
    settings["authentication_policies"]["saml"]["metrics"] = value
    path = tmp_path / "auth.json"
    path.write_text(json.dumps(settings))
    result = run("check", path, cwd=tmp_path)
    assert result.returncode == status, result.stdout + result.stderr
    lines = [line for line in result.stdout.splitlines() if not line.startswith("  ")]
    expected = ['metrics: invalid: Invalid SAML configuration: "metrics" must be true or false, not \'yes\''
                if status else "metrics: on (prometheus_client)"]
    assert lines == [*expected, "good: valid"]
