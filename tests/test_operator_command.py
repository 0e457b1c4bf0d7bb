"""`python -m velmora_saml check|metadata`, run as the operator runs it."""

import json
import os
import pathlib
import re
import subprocess
import sys

import pytest
from pyramid.request import Request

import velmora_saml.saml as saml
from tests.support.idp_metadata import Delay, idp_metadata_xml
from tests.support.metadata_helpers import remote_config
from tests.support.settings import auth_settings, cert_body, idp_config, read, toolkit_settings


HOST = pathlib.Path(__file__).resolve().parent.parent / "host"
STABLE = {"metadataValidUntil": "2999-01-01T00:00:00Z", "metadataCacheDuration": "P7D"}


def run(*args, cwd, with_host=True):
    env = dict(os.environ)
    paths = [str(HOST)] if with_host else []
    # Under the sanitizers PYTHONPATH names the instrumented build: keep it.
    paths += [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p and p != str(HOST)]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    # Other libraries' warnings must be kept off stderr by the command itself.
    env.pop("PYTHONWARNINGS", None)
    return subprocess.run([sys.executable, "-m", "velmora_saml", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


# `check --refresh` in a process whose end takes a while (an object of its
# main module sleeps as it goes): the refresh schedule's thread, waiting
# 0.2 s at a time, comes back to the interpreter while it finalizes, and
# Python ends it mid-way by unwinding its stack through the plug-in's C++
# frames. An unwinder of the modules' own beside the C library's aborted the
# process there every time (SIGABRT from GCC's static unwinder, SIGSEGV from
# zig's).
ENDING_SLOWLY = """
import runpy, sys, time

class SlowToGo:
    def __del__(self):
        time.sleep(0.6)

keep = SlowToGo()
sys.argv = ["velmora_saml", "check", "--refresh", sys.argv[1]]
runpy.run_module("velmora_saml", run_name="__main__")
"""


def end_while_the_refresh_schedule_wakes(python, metadata_url, folder, env):
    entry = remote_config(metadata_url, metadata_signing_cert=read("metadata_signer.crt"),
                          metadata_refresh_interval=0.2)
    settings = write(folder, auth_settings(("idp1", entry)))
    return subprocess.run([str(python), "-c", ENDING_SLOWLY, str(settings)], cwd=folder, env=env,
                          capture_output=True, text=True, timeout=120)


def config(idp_id, **changes):
    return idp_config(idp_id, settings=toolkit_settings(idp_id, **STABLE)) | changes


def broken(idp_id):
    result = config(idp_id)
    del result["settings"]["idp"]["singleSignOnService"]
    return result


def write(tmp_path, document, name="auth.json"):
    path = tmp_path / name
    path.write_text(document if isinstance(document, str) else json.dumps(document))
    return path


def one_error_line(result):
    assert "Traceback" not in result.stderr
    (line,) = result.stderr.splitlines()
    assert line.startswith("error: ")
    return line


def report(result):
    """The report's lines per IdP: {id: [first line, indented lines...]}."""
    blocks = {}
    for line in result.stdout.splitlines():
        if line.startswith("  "):
            blocks[current].append(line.strip())
        else:
            current = line.split(":", 1)[0]
            blocks[current] = [line]
    return blocks


IDP_CERT_LINE = "certificate: CN=velmora-test-idp, expires 2126-11-14 17:49:58 UTC"
SP_CERT_LINE = "SP certificate: CN=velmora-test-sp, expires 2126-11-14 17:49:59 UTC"


def sp_lines(idp_id):
    """The IdP's certificate and the SP's lines, as every valid test IdP shows them."""
    return [IDP_CERT_LINE, f"SP entity id: https://sp.example.test/saml/metadata/{idp_id}",
            f"ACS URL: https://sp.example.test/saml/acs/{idp_id}", SP_CERT_LINE]


class TestCheck:
    def test_reports_each_idp_and_fails_when_one_is_invalid(self, tmp_path):
        settings = auth_settings(("good", config("good")), ("broken", broken("broken")),
                                 ("off", config("off", enabled=False)))
        result = run("check", write(tmp_path, settings), cwd=tmp_path)
        assert result.returncode == 1
        assert report(result) == {
            "good": ["good: valid", "metadata: none configured (local settings only)", *sp_lines("good")],
            "broken": [
                "broken: invalid: onelogin.saml2.errors.OneLogin_Saml2_Error: Invalid dict settings: "
                "idp_sso_not_found",
                "hint: set settings.idp.singleSignOnService.url, or settings.idp.metadata to read it from the "
                "IdP's metadata",
                "metadata: none configured (local settings only)", *sp_lines("broken")],
            "off": ['off: disabled: "enabled" is false'],
        }
        # The plug-in's own error line, on stderr, and nothing else there.
        assert "ERROR velmora: Saml IdP broken config is invalid. See the documentation" in result.stderr
        assert "Warning" not in result.stderr

    def test_passes_when_every_enabled_idp_is_valid(self, tmp_path):
        settings = auth_settings(("a", config("a")), ("off", broken("off") | {"enabled": False}))
        result = run("check", write(tmp_path, settings), cwd=tmp_path)
        assert result.returncode == 0
        assert [lines[0] for lines in report(result).values()] == ["a: valid", 'off: disabled: "enabled" is false']
        assert result.stderr == ""

    def test_metadata_error_is_the_reason(self, tmp_path):
        old = idp_config("old", settings=toolkit_settings("old", metadataValidUntil="2001-01-01T00:00:00Z"))
        result = run("check", write(tmp_path, auth_settings(("old", old))), cwd=tmp_path)
        assert result.returncode == 1
        assert report(result)["old"][:2] == [
            "old: invalid: ValueError: ['expired_xml']",
            "hint: the SP metadata would already be expired: move security.metadataValidUntil into the future, "
            "or remove it and security.metadataCacheDuration"]

    @pytest.mark.parametrize("changes, first, hint", [
        ({"saml_auth_attribute": None},
         'x: invalid: ValueError: Invalid SAML configuration: "saml_auth_attribute" must be the name of a SAML '
         'attribute or "NameID", not None',
         'set "saml_auth_attribute" to the name (text) of a SAML attribute'),
        ({"user_config_attribute": "phone"},
         "x: invalid: ValueError: Invalid SAML configuration: \"user_config_attribute\" 'phone' is not in "
         "UserConfig.allowed_sso_keys",
         'set "user_config_attribute" to one of the host\'s UserConfig.allowed_sso_keys: email, username, sso_id'),
        ({"saml_auth_regex": "[a-"},
         'x: invalid: ValueError: Invalid SAML configuration: "saml_auth_regex" does not compile: '
         "unterminated character set at position 0",
         'fix "saml_auth_regex"'),
        ({"settings": "none"},
         "x: invalid: ValueError: Invalid SAML configuration: 'str' object has no attribute 'get'",
         '"settings" and settings.extra_request_options must be mappings'),
        ({"metadata_refresh_interval": 0},
         'x: invalid: ValueError: Invalid SAML configuration: "metadata_refresh_interval" must be a positive number '
         "of seconds, not 0",
         'set "metadata_refresh_interval" to a number of seconds above 0'),
        ({"metadata_signing_fingerprint": "ab:cd"},
         'x: invalid: ValueError: Invalid SAML configuration: "metadata_signing_fingerprint" must be the SHA-256 '
         "fingerprint of a certificate (64 hex digits), not 'ab:cd'",
         'set "metadata_signing_fingerprint" to the SHA-256 fingerprint'),
        ({"metadata_signing_cert": "x", "metadata_signing_fingerprint": "ab"},
         'x: invalid: ValueError: Invalid SAML configuration: give "metadata_signing_cert" or '
         '"metadata_signing_fingerprint", not both',
         'keep one of "metadata_signing_cert" and "metadata_signing_fingerprint"'),
        ({"allow_unsolicited": 1},
         'x: invalid: ValueError: Invalid SAML configuration: "allow_unsolicited" must be true, false or null, not 1',
         'set "allow_unsolicited" to true or false'),
        ({"authn_contexts": {"mfa": ["https://refeds.org/profile/mfa"]}},
         'x: invalid: ValueError: Invalid SAML configuration: "authn_contexts" needs "allow_unsolicited": false (the '
         "response is checked against the AuthnRequest it answers)",
         'set "allow_unsolicited": false'),
        ({"session_lifetime": "8h"},
         'x: invalid: ValueError: Invalid SAML configuration: "session_lifetime" must be "idp", a positive number of '
         'seconds or {"idp": true, "max": <seconds>}, not \'8h\'',
         'set "session_lifetime" to "idp", a number of seconds'),
    ], ids=["attribute-not-text", "not-an-sso-key", "regex", "settings-not-a-mapping", "refresh-interval-0",
            "fingerprint", "both-signing-keys", "allow-unsolicited-number", "context-needs-solicited",
            "session-lifetime"])
    def test_one_line_naming_the_key_and_a_hint(self, tmp_path, changes, first, hint):
        result = run("check", write(tmp_path, auth_settings(("x", config("x") | changes))), cwd=tmp_path)
        assert result.returncode == 1
        lines = report(result)["x"]
        assert lines[0] == first
        assert lines[1].startswith(f"hint: {hint}")

    @pytest.mark.parametrize("key", ["idp_name", "settings", "saml_auth_attribute", "user_config_attribute"])
    def test_missing_key(self, tmp_path, key):
        entry = config("x")
        del entry[key]
        result = run("check", write(tmp_path, auth_settings(("x", entry))), cwd=tmp_path)
        assert result.returncode == 1
        first, hint = report(result)["x"][:2]
        assert key in first
        assert hint.startswith(f'hint: add "{key}"')

    def test_site_keys_and_an_sp_url_of_another_entry(self, tmp_path):
        stolen = config("b")
        stolen["settings"]["sp"]["assertionConsumerService"]["url"] = "https://sp.example.test/saml/acs/a"
        settings = auth_settings(("a", config("a")), ("b", stolen))
        settings["authentication_policies"]["saml"].update(metrics=True, status_allow=["127.0.0.1/32"],
                                                           status_trusted_proxies=["10.0.0.0/8"])
        result = run("check", write(tmp_path, settings), cwd=tmp_path)
        head = result.stdout.splitlines()[:2]
        assert head == ["metrics: on (prometheus_client)",
                        "status_allow: 127.0.0.1/32 (trusted proxies: 10.0.0.0/8)"]
        assert [line for line in report(result)["b"] if line.startswith("warning:")] == [
            "warning: settings.sp.assertionConsumerService.url of b is a URL of IdP a (/saml/.../a): the IdP posts "
            "b's logins to a's routes, which check them with a's settings"]
        settings["authentication_policies"]["saml"]["status_allow"] = "127.0.0.1"
        result = run("check", "--json", write(tmp_path, settings), cwd=tmp_path)
        document = json.loads(result.stdout)
        assert result.returncode == 1 and document["status_allow"]["status"] == "invalid"
        assert document["metrics"] == {"status": "valid", "reason": None, "on": True}
        assert document["toolkit_caches"] == {"status": "valid", "reason": None, "on": True, "left_alone": None}
        settings["authentication_policies"]["saml"].update(status_allow=["127.0.0.1/32"], toolkit_caches="no")
        result = run("check", write(tmp_path, settings), cwd=tmp_path)
        assert result.returncode == 1
        assert result.stdout.splitlines()[2] == ('toolkit_caches: invalid: Invalid SAML configuration: '
                                                 '"toolkit_caches" must be true or false, not \'no\'')
        settings["authentication_policies"]["saml"]["toolkit_caches"] = False
        document = json.loads(run("check", "--json", write(tmp_path, settings), cwd=tmp_path).stdout)
        assert document["toolkit_caches"] == {"status": "valid", "reason": None, "on": False, "left_alone": None}

    def test_saml_switched_off(self, tmp_path):
        settings = auth_settings(("a", broken("a")), enabled=False)
        result = run("check", write(tmp_path, settings), cwd=tmp_path)
        assert result.returncode == 0
        assert result.stdout.splitlines() == ["SAML single sign-on is disabled: no identity provider was checked",
                                              "a: not checked"]

    def test_remote_metadata_fetched_and_timed(self, tmp_path, metadata_server):
        metadata_server.documents["/idp.xml"] = idp_metadata_xml()
        metadata_server.delays["/idp.xml"] = 0.4
        remote = config("remote")
        del remote["settings"]["idp"]["singleSignOnService"]
        remote["settings"]["idp"]["metadata"] = metadata_server.url("/idp.xml")
        result = run("check", write(tmp_path, auth_settings(("remote", remote))), "--json", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        (entry,) = json.loads(result.stdout)["identity_providers"]
        metadata = entry.pop("metadata")
        certificates = [(c.pop("source"), c.pop("subject")) for c in entry.pop("certificates")]
        sp_certificates = [(c.pop("source"), c.pop("subject")) for c in entry.pop("sp_certificates")]
        assert entry == {"id": "remote", "status": "valid", "reason": None, "hint": None, "idp_name": "remote",
                         "idp_entity_id": "https://idp.example.test/metadata",
                         "sp_entity_id": "https://sp.example.test/saml/metadata/remote",
                         "acs_url": "https://sp.example.test/saml/acs/remote", "notes": [], "warnings": [],
                         "problems": []}
        # The local certificate is the published one: shown once.
        assert certificates == [("idp.x509cert", "CN=velmora-test-idp")]
        assert sp_certificates == [("sp.x509cert", "CN=velmora-test-sp")]
        assert metadata.pop("seconds") >= 0.4
        assert metadata == {"location": metadata_server.url("/idp.xml"), "fetched": True, "error": None,
                            "refused": False, "shared_with": None}
        # In text, the same fetch.
        result = run("check", write(tmp_path, auth_settings(("remote", remote))), cwd=tmp_path)
        line = report(result)["remote"][1]
        assert line.startswith(f"metadata: fetched from {metadata_server.url('/idp.xml')} in 0.")

    def test_timeout_bounds_the_metadata_fetch(self, tmp_path, metadata_server):
        metadata_server.documents["/slow.xml"] = idp_metadata_xml()
        metadata_server.delays["/slow.xml"] = 5
        slow = config("slow")
        slow["settings"]["idp"]["metadata"] = metadata_server.url("/slow.xml")
        result = run("check", "--timeout", "0.3", write(tmp_path, auth_settings(("slow", slow))), cwd=tmp_path)
        assert result.returncode == 0
        first, hint, line = report(result)["slow"][:3]
        assert first == "slow: valid"
        assert hint.startswith("hint: this process keeps the local settings and does not fetch again")
        # The time taken is measured: on a loaded machine it is more than the timeout, but less than the delay.
        took = re.fullmatch(re.escape(f"metadata: not fetched from {metadata_server.url('/slow.xml')} after ")
                            + r"(\d+\.\d\d) s: the metadata fetch timed out after 0.3 seconds; the local settings are used",
                            line)
        assert took and 0.3 <= float(took[1]) < 5, line
        assert "ERROR velmora: Failed to load metadata for slow because of " in result.stderr

    def test_the_process_ends_cleanly_while_its_fetch_thread_still_reads(self, tmp_path, metadata_server):
        # The command gives up on the fetch and ends; the fetch's thread comes
        # back to the interpreter while it finalizes, and Python ends that
        # thread mid-way (a segmentation fault in 4 of 5 runs before the fix).
        slow = config("slow")
        slow["settings"]["idp"]["metadata"] = metadata_server.url("/slow.xml")
        settings = write(tmp_path, auth_settings(("slow", slow)))
        for _ in range(5):
            metadata_server.queue("/slow.xml", Delay(0.3))
            result = run("check", "--timeout", "0.3", settings, cwd=tmp_path)
            assert (result.returncode, "Fatal Python error" in result.stderr) == (0, False), result.stderr[-2000:]

    def test_the_process_ends_cleanly_while_its_refresh_schedule_wakes(self, tmp_path, published_idp):
        result = end_while_the_refresh_schedule_wakes(sys.executable, published_idp.url, tmp_path,
                                                      dict(os.environ, PYTHONPATH=str(HOST)))
        assert (result.returncode, result.stdout.splitlines()[:1]) == (0, ["idp1: valid"]), result.stderr[-2000:]

    def test_unreachable_metadata_behind_an_incomplete_idp(self, tmp_path):
        entry = config("gone")
        entry["settings"]["idp"] = {"metadata": "http://127.0.0.1:9/metadata"}
        result = run("check", write(tmp_path, auth_settings(("gone", entry))), cwd=tmp_path)
        assert result.returncode == 1
        first, hint, note, line = report(result)["gone"][:4]
        # The fetch error first; what the toolkit then missed follows from it.
        assert first.startswith("gone: invalid: metadata not fetched from http://127.0.0.1:9/metadata after ")
        assert first.endswith("Connection refused>")
        assert hint.startswith("hint: the IdP's metadata could not be fetched (see the metadata line)")
        assert note.startswith("note: without the metadata the settings lack: ") and "idp_entityId_not_found" in note
        assert line.startswith("metadata: not fetched from http://127.0.0.1:9/metadata after ")

    def test_idps_sharing_an_idp_name(self, tmp_path):
        settings = auth_settings(("a", config("a", idp_name="corp")), ("b", config("b", idp_name="corp")))
        blocks = report(run("check", write(tmp_path, settings), cwd=tmp_path))
        assert blocks["b"][1] == ('note: "idp_name" \'corp\' is also the name of IdP a: both are given the settings '
                                  "assembled first")
        # b presents a's SP urls: the cache holds a's settings under the shared name.
        assert blocks["b"][-4:] == sp_lines("a")

    def test_json_report(self, tmp_path):
        settings = auth_settings(("good", config("good")), ("broken", broken("broken")),
                                 ("off", config("off", enabled=False)))
        result = run("check", "--json", write(tmp_path, settings), cwd=tmp_path)
        assert result.returncode == 1
        document = json.loads(result.stdout)
        assert (document["saml_enabled"], document["exit_status"]) == (True, 1)
        assert [(e["id"], e["status"]) for e in document["identity_providers"]] == [
            ("good", "valid"), ("broken", "invalid"), ("off", "disabled")]
        bad = document["identity_providers"][1]
        assert bad["reason"].endswith("Invalid dict settings: idp_sso_not_found")
        assert bad["hint"].startswith("set settings.idp.singleSignOnService.url")
        assert bad["metadata"] is None

    def test_json_bad_input(self, tmp_path):
        result = run("check", "--json", "absent.json", cwd=tmp_path)
        assert result.returncode == 2
        assert json.loads(result.stdout) == {"settings": "absent.json", "error": "absent.json: no such file",
                                             "exit_status": 2}


class TestLogoutKeys:
    def slo_config(self, idp_id, **changes):
        entry = config(idp_id, single_logout=True)
        entry["settings"]["sp"]["singleLogoutService"] = {"url": f"https://sp.example.test/saml/sls/{idp_id}"}
        entry["settings"]["idp"]["singleLogoutService"] = {"url": "https://idp.example.test/slo"}
        return entry | changes

    def test_the_logout_service_urls_and_notes(self, tmp_path):
        unsigned = self.slo_config("a", allow_unsolicited=False)
        signed = self.slo_config("b")
        signed["settings"]["security"]["wantMessagesSigned"] = True
        del signed["settings"]["idp"]["singleLogoutService"]
        result = run("check", write(tmp_path, auth_settings(("a", unsigned), ("b", signed))), cwd=tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr
        blocks = report(result)
        assert blocks["a"] == [
            "a: valid",
            "note: the IdP's logout messages are taken unsigned: set security.wantMessagesSigned (the IdP must "
            "then sign its whole login Response too, not only the assertion, or every login fails)",
            "note: only responses to this site's AuthnRequests are taken: IdP-initiated logins are refused",
            "metadata: none configured (local settings only)", *sp_lines("a"),
            "SLS URL: https://sp.example.test/saml/sls/a", "IdP SLO URL: https://idp.example.test/slo"]
        assert blocks["b"][1:] == ["metadata: none configured (local settings only)", *sp_lines("b"),
                                   "SLS URL: https://sp.example.test/saml/sls/b",
                                   "IdP SLO URL: (none: logouts end only the local session)"]
        document = json.loads(run("check", "--json", write(tmp_path, auth_settings(("a", unsigned))),
                                  cwd=tmp_path).stdout)
        entry = document["identity_providers"][0]
        assert (entry["sls_url"], entry["idp_slo_url"]) == ("https://sp.example.test/saml/sls/a",
                                                            "https://idp.example.test/slo")

    def test_without_the_keys_the_report_is_as_before(self, tmp_path):
        result = run("check", write(tmp_path, auth_settings(("a", config("a")))), cwd=tmp_path)
        assert report(result)["a"] == ["a: valid", "metadata: none configured (local settings only)", *sp_lines("a")]

    @pytest.mark.parametrize("changes, hint", [
        ({"allow_unsolicited": "false"}, 'set "allow_unsolicited" to true or false'),
        ({"single_logout": "yes"}, 'set "single_logout" to true or false'),
        ({"single_logout": True}, "set settings.sp.singleLogoutService.url"),
    ], ids=["allow-unsolicited-text", "single-logout-text", "no-sls-url"])
    def test_a_bad_value_makes_the_idp_invalid_with_a_hint(self, tmp_path, changes, hint):
        result = run("check", write(tmp_path, auth_settings(("x", config("x") | changes))), cwd=tmp_path)
        assert result.returncode == 1
        lines = report(result)["x"]
        assert lines[0].startswith("x: invalid: ValueError: Invalid SAML configuration: ")
        assert lines[1].startswith(f"hint: {hint}")

    def test_a_binding_other_than_redirect_is_refused(self, tmp_path):
        entry = self.slo_config("x")
        entry["settings"]["sp"]["singleLogoutService"]["binding"] = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST"
        lines = report(run("check", write(tmp_path, auth_settings(("x", entry))), cwd=tmp_path))["x"]
        assert "HTTP-Redirect" in lines[0] and lines[1].startswith("hint: remove settings.sp.singleLogoutService")


class TestCertificates:
    @pytest.mark.parametrize("side, key, value, problem", [
        ("idp", "x509cert", "MIIBroken==", "idp.x509cert is not a certificate (Invalid base64"),
        ("idp", "x509cert", "/etc/saml/idp.crt", "idp.x509cert is a file path"),
        ("idp", "x509certMulti", {"signing": [cert_body("idp.crt"), "idp.pem"]},
         "idp.x509certMulti.signing[1] is a file path"),
        ("idp", "x509certMulti", {"signing": [cert_body("idp.crt")], "encryption": ["MIIB"]},
         "idp.x509certMulti.encryption[0] is not a certificate"),
        ("sp", "x509certNew", "./sp-next.crt", "sp.x509certNew is a file path"),
        ("sp", "privateKey", read("other.key"), "settings.sp.privateKey does not go with settings.sp.x509cert"),
        ("sp", "privateKey", "sp.key", "settings.sp.privateKey cannot be read as an RSA or EC private key"),
    ], ids=["garbage", "path", "multi-path", "multi-encryption", "sp-next-path", "other-key", "key-path"])
    def test_a_bad_certificate_or_key_makes_the_idp_invalid_with_a_hint(self, tmp_path, side, key, value, problem):
        entry = config("x")
        entry["settings"][side][key] = value
        result = run("check", write(tmp_path, auth_settings(("x", entry))), cwd=tmp_path)
        assert result.returncode == 1
        lines = report(result)["x"]
        if lines[0].startswith(f"x: invalid: {problem}"):
            assert lines[1].startswith("hint: give ")
        else:  # the toolkit refused the settings first; the problem follows
            assert any(line.startswith(f"note: also invalid: {problem}") and ": give " in line for line in lines)

    def test_a_local_certificate_the_metadata_does_not_publish_is_a_warning(self, tmp_path, metadata_server):
        metadata_server.documents["/idp.xml"] = idp_metadata_xml(cert_file="idp_next.crt")
        entry = config("x")
        entry["settings"]["idp"]["metadata"] = metadata_server.url("/idp.xml")
        result = run("check", write(tmp_path, auth_settings(("x", entry))), cwd=tmp_path)
        assert result.returncode == 0
        lines = report(result)["x"]
        assert lines[2:5] == [
            IDP_CERT_LINE, "certificate: CN=velmora-test-idp-next, expires 2126-11-15 04:49:06 UTC",
            "warning: the local IdP certificate (CN=velmora-test-idp) differs from every certificate the metadata "
            "publishes (CN=velmora-test-idp-next): the local one is used, and responses signed with the "
            "published key fail"]

    def test_an_sp_certificate_that_expires_soon(self, tmp_path):
        from tests.support.idp_metadata import make_key_pair

        pair = make_key_pair(tmp_path, days=10)
        entry = config("x")
        entry["settings"]["sp"].update(x509cert=read(f"{pair}.crt"), privateKey=read(f"{pair}.key"),
                                       x509certNew=cert_body("idp_next.crt"))
        result = run("check", write(tmp_path, auth_settings(("x", entry))), cwd=tmp_path)
        assert result.returncode == 0
        lines = report(result)["x"]
        assert lines[-3].startswith("SP certificate: CN=velmora-test-expiring, expires ")
        assert lines[-2].startswith("warning: certificate CN=velmora-test-expiring expires in 9 days")
        assert lines[-1] == "SP certificate: CN=velmora-test-idp-next, expires 2126-11-15 04:49:06 UTC"


class TestMetadata:
    def test_prints_the_sp_metadata(self, tmp_path):
        settings = auth_settings(("idp1", config("idp1")))
        result = run("metadata", write(tmp_path, settings), "idp1", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        # Pyramid's own deprecation warning (pkg_resources) stays off stderr.
        assert result.stderr == ""
        request = Request.blank("/", headers={"Host": "sp.example.test"})
        expected = saml.SamlIDPConfig(config("idp1"), request, users=[]).get_sp_metadata()
        assert result.stdout.rstrip("\n").encode() == expected.rstrip(b"\n")

    def test_invalid_metadata_exits_1_with_the_errors(self, tmp_path):
        old = idp_config("old", settings=toolkit_settings("old", metadataValidUntil="2001-01-01T00:00:00Z"))
        result = run("metadata", write(tmp_path, auth_settings(("old", old))), "old", cwd=tmp_path)
        assert result.returncode == 1
        assert result.stdout == ""
        assert one_error_line(result) == "error: SP metadata of identity provider old is invalid: ['expired_xml']"

    def test_invalid_settings_exit_1(self, tmp_path):
        result = run("metadata", write(tmp_path, auth_settings(("b", broken("b")))), "b", cwd=tmp_path)
        assert result.returncode == 1
        assert one_error_line(result) == ("error: identity provider b: invalid SAML settings: "
                                          "OneLogin_Saml2_Error: Invalid dict settings: idp_sso_not_found")


GOOD = auth_settings(("idp1", config("idp1")), ("off", config("off", enabled=False)))


class TestBadInput:
    @pytest.mark.parametrize("args, document, message", [
        (["check", "absent.json"], None, "error: absent.json: no such file"),
        (["check", "auth.json"], '{"authentication_policies": ', "error: auth.json: invalid JSON: "),
        (["check", "auth.json"], "[1, 2]", "error: auth.json: the document must be a JSON object"),
        (["check", "auth.json"], {"authentication_policies": {}}, "error: auth.json: SAML is not configured"),
        (["metadata", "auth.json", "idp1"], {}, "error: auth.json: SAML is not configured"),
        (["check", "auth.json"], {"authentication_policies": {"saml": {"enabled": True}}},
         "error: auth.json: the SAML settings lack the key 'identity_providers'"),
        (["metadata", "auth.json", "nope"], GOOD, "error: identity provider nope: IdP is not found"),
        (["metadata", "auth.json", "off"], GOOD, 'error: identity provider off: Identity provider "off" is disabled'),
        (["check", "auth.json"], auth_settings(("x", {"idp_name": "x"})),
         'error: auth.json: identity provider x: the entry lacks the key "enabled" (true or false)'),
        (["check", "auth.json"], auth_settings(("x", ["enabled"])),
         "error: auth.json: identity provider x: the entry must be a mapping, not list"),
    ], ids=["missing-file", "invalid-json", "not-an-object", "no-saml-path", "no-saml-path-metadata",
            "no-providers-key", "unknown-idp", "disabled-idp", "idp-without-enabled", "idp-not-a-mapping"])
    def test_one_line_error_and_exit_2(self, tmp_path, args, document, message):
        if document is not None:
            write(tmp_path, document)
        result = run(*args, cwd=tmp_path)
        assert result.returncode == 2
        assert result.stdout == ""
        assert one_error_line(result).startswith(message)

    @pytest.mark.parametrize("timeout", ["0", "-1", "soon", "nan"])
    def test_bad_timeout(self, tmp_path, timeout):
        result = run("check", write(tmp_path, GOOD), "--timeout", timeout, cwd=tmp_path)
        assert result.returncode == 2
        assert "Traceback" not in result.stderr
        assert "argument --timeout" in result.stderr.splitlines()[-1]

    def test_host_package_missing(self, tmp_path):
        result = run("check", write(tmp_path, GOOD), cwd=tmp_path, with_host=False)
        assert result.returncode == 2
        line = one_error_line(result)
        assert "host application package 'velmora' is not importable" in line
        assert "PYTHONPATH" in line
