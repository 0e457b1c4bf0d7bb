"""`python -m velmora_saml check` on IdPs that refresh or check their
metadata: when the document in use was fetched and until when it is valid,
whether its signature was verified, the refresh schedule, the certificates
with their expiry (a warning within 30 days), and `--refresh`."""

import datetime
import json
import subprocess

import pytest

from tests.support import idp_metadata as md
from tests.support.settings import DATA, auth_settings, read, toolkit_settings
from tests.test_operator_command import STABLE, config, report, run, write
from velmora_saml import idp_report as command

PATH = "/idp.xml"
SIGNER = str(DATA / "metadata_signer.crt")


def remote(url, local_idp=None, **keys):
    entry = config("corp", **keys)
    entry["settings"]["idp"] = {"metadata": url, **(local_idp or {})}
    return entry


def today_plus(days):
    return (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)).strftime("%Y-%m-%d")


class TestReport:
    def test_signed_refreshed_idp_with_a_certificate_that_expires_soon(self, tmp_path, metadata_server):
        expiring = md.make_key_pair(tmp_path, days=10)
        idp = md.PublishedIdP(metadata_server, PATH, keys=(md.OLD_KEY, expiring))
        idp.publish(md.OLD_KEY, expiring, valid_until=2 * 86400, cache_duration="P1D")
        entry = remote(idp.url, metadata_signing_cert=SIGNER, metadata_refresh_interval=3600)
        result = run("check", write(tmp_path, auth_settings(("corp", entry))), cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        lines = report(result)["corp"]
        assert lines[0] == "corp: valid"
        assert lines[1].startswith(f"metadata: fetched from {idp.url} in ")
        fetched = lines[2]
        assert fetched.startswith(f"metadata in use: fetched at {today_plus(0)} ")
        assert f", valid until {today_plus(2)} " in fetched and fetched.endswith(", cacheDuration P1D")
        assert lines[3] == "metadata signature: verified (metadata_signing_cert)"
        assert lines[4].startswith("metadata refresh: every 3600 s, next after ")
        assert lines[5] == "certificate: CN=velmora-test-idp, expires 2126-11-14 17:49:58 UTC"
        assert lines[6].startswith(f"certificate: CN=velmora-test-expiring, expires {today_plus(10)} ")
        assert lines[7] == f"warning: certificate CN=velmora-test-expiring expires in 9 days ({today_plus(10)})"
        assert lines[8:] == ["SP entity id: https://sp.example.test/saml/metadata/corp",
                             "ACS URL: https://sp.example.test/saml/acs/corp",
                             "SP certificate: CN=velmora-test-sp, expires 2126-11-14 17:49:59 UTC"]

    def test_refused_signature_and_the_local_settings(self, tmp_path, metadata_server):
        metadata_server.publish(PATH, md.idp_metadata_xml(certs=["other.crt"]))  # unsigned
        local = {k: v for k, v in toolkit_settings("corp")["idp"].items()}
        entry = remote(metadata_server.url(PATH), local_idp=local,
                       metadata_signing_fingerprint="AA" * 32)
        result = run("check", write(tmp_path, auth_settings(("corp", entry))), cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        lines = report(result)["corp"]
        # Fetched, and refused (not "not fetched").
        assert lines[2] == (f"metadata: fetched from {metadata_server.url(PATH)}, refused: the metadata carries no "
                            "signature over its root; the local settings are used")
        assert "metadata in use: none (the local settings are used)" in lines
        assert ("metadata signature: not verified: no document passed the check of metadata_signing_fingerprint"
                in lines)
        assert "metadata refresh: off (no metadata_refresh_interval)" in lines
        assert "certificate: CN=velmora-test-idp, expires 2126-11-14 17:49:58 UTC" in lines
        assert "Failed to load metadata for corp because of the metadata carries no signature over its root" \
            in result.stderr

    def test_an_aggregate_of_several_idps_without_an_entity_id_names_them(self, tmp_path, metadata_server):
        other = "https://other-idp.example.test/metadata"
        metadata_server.publish(PATH, md.sign_metadata(md.aggregate(
            md.idp_metadata_xml(other, certs=["other.crt"]), md.idp_metadata_xml())))
        entry = remote(metadata_server.url(PATH), metadata_signing_cert=SIGNER)
        result = run("check", write(tmp_path, auth_settings(("corp", entry))), cwd=tmp_path)
        assert result.returncode == 1, result.stderr
        lines = report(result)["corp"]
        # Fetched and refused: the refusal names every entity ID found.
        assert lines[0].startswith(
            f"corp: invalid: metadata fetched from {metadata_server.url(PATH)}, refused: the metadata describes "
            f"several identity providers ({other}, https://idp.example.test/metadata): set settings.idp.entityId "
            "to the one to use"), lines

    def test_json_report_of_the_record(self, tmp_path, metadata_server):
        idp = md.PublishedIdP(metadata_server, PATH)
        entry = remote(idp.url, metadata_signing_cert=read("metadata_signer.crt"))
        result = run("check", "--json", write(tmp_path, auth_settings(("corp", entry))), cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        (idp_report,) = json.loads(result.stdout)["identity_providers"]
        metadata = idp_report["metadata"]
        assert metadata["fetched"] is True and metadata["fetched_at"].startswith(today_plus(0))
        assert (metadata["signature"], metadata["signed_by"]) == ("verified", "metadata_signing_cert")
        assert metadata["valid_until"] is None and metadata["cache_duration"] is None
        assert metadata["refresh_interval"] is None and metadata["refresh"] is None
        assert idp_report["certificates"] == [{"source": "metadata", "subject": "CN=velmora-test-idp",
                                               "not_after": "2126-11-14 17:49:58 UTC",
                                               "days_left": idp_report["certificates"][0]["days_left"],
                                               "problem": None, "warning": None}]
        assert idp_report["certificates"][0]["days_left"] > 36000

    def test_an_idp_without_the_keys_shows_the_published_certificates_but_no_record(self, tmp_path, metadata_server):
        metadata_server.publish(PATH, md.idp_metadata_xml())
        entry = remote(metadata_server.url(PATH))
        result = run("check", "--json", write(tmp_path, auth_settings(("corp", entry))), cwd=tmp_path)
        (idp_report,) = json.loads(result.stdout)["identity_providers"]
        assert [c["subject"] for c in idp_report["certificates"]] == ["CN=velmora-test-idp"]
        assert set(idp_report["metadata"]) == {"location", "fetched", "seconds", "error", "refused", "shared_with"}


    def test_an_idp_waiting_for_its_metadata_fails_the_check(self, tmp_path, metadata_server):
        metadata_server.behaviours[PATH] = md.Status(503)
        entry = remote(metadata_server.url(PATH), metadata_refresh_interval=60)
        result = run("check", write(tmp_path, auth_settings(("corp", entry))), cwd=tmp_path)
        assert result.returncode == 1
        lines = report(result)["corp"]
        assert lines[0] == ("corp: waiting: velmora_saml.idp_metadata.MetadataNotAvailable: The metadata of "
                            "identity provider corp is not available yet (HTTP Error 503: Service Unavailable)")
        assert lines[1].startswith("hint: make settings.idp.metadata reachable: the running workers keep the IdP")
        assert "WARNING velmora: Saml IdP corp waits for its metadata: " in result.stderr


class TestForcedRefresh:
    def test_refresh_fetches_again_and_reports_it(self, tmp_path, metadata_server):
        idp = md.PublishedIdP(metadata_server, PATH)
        entry = remote(idp.url, metadata_signing_cert=SIGNER, metadata_refresh_interval=86400)
        result = run("check", "--refresh", write(tmp_path, auth_settings(("corp", entry))), cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert metadata_server.hits[PATH] == 2
        assert "metadata refreshed now: the new document is in use" in report(result)["corp"]

    def test_a_failing_refresh_fails_the_check(self, tmp_path, metadata_server):
        idp = md.PublishedIdP(metadata_server, PATH)
        metadata_server.behaviours[PATH] = md.Status(503)
        metadata_server.queue(PATH, md.Delay(0))  # the first fetch is served
        entry = remote(idp.url, metadata_signing_cert=SIGNER, metadata_refresh_interval=86400)
        result = run("check", "--refresh", write(tmp_path, auth_settings(("corp", entry))), cwd=tmp_path)
        assert result.returncode == 1
        lines = report(result)["corp"]
        assert lines[0] == "corp: valid"
        (line,) = [line for line in lines if line.startswith("metadata refreshed now")]
        assert line.startswith("metadata refreshed now: failed because of HTTP Error 503")
        assert line.endswith("; the settings in use are kept")
        assert "metadata signature: verified (metadata_signing_cert)" in lines
        assert "Failed to refresh metadata for corp because of HTTP Error 503" in result.stderr

    def test_idps_without_the_keys_are_not_refreshed(self, tmp_path, metadata_server):
        metadata_server.publish(PATH, md.idp_metadata_xml())
        entry = remote(metadata_server.url(PATH))
        result = run("check", "--refresh", write(tmp_path, auth_settings(("corp", entry))), cwd=tmp_path)
        assert result.returncode == 0 and metadata_server.hits[PATH] == 1
        assert not [line for line in report(result)["corp"] if "refresh" in line]


class TestCertificateReader:
    @pytest.mark.parametrize("subject, days", [("/C=DE/O=Velmora Test/OU=SSO/CN=idp.example.test", 3),
                                               ("/CN=long-lived", 20000)])
    def test_subject_and_expiry_as_openssl_reads_them(self, tmp_path, subject, days):
        key, cert = tmp_path / "k.pem", tmp_path / "c.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out",
                        str(cert), "-subj", subject, "-days", str(days)], check=True, capture_output=True)
        shown = subprocess.run(["openssl", "x509", "-in", str(cert), "-noout", "-enddate"], check=True,
                               capture_output=True, text=True).stdout.strip().split("=", 1)[1]
        expected = datetime.datetime.strptime(shown, "%b %d %H:%M:%S %Y GMT").replace(tzinfo=datetime.timezone.utc)
        name, not_after = command.certificate_facts(cert.read_text())
        assert not_after == expected
        assert name == ", ".join(part for part in subject.split("/") if part)

    def test_expired_and_unreadable_certificates_are_warned_about(self):
        now = datetime.datetime(2200, 1, 1, tzinfo=datetime.timezone.utc)
        expired = command.certificate_report(read("idp.crt"), "idp.x509cert", now)
        assert expired["warning"] == "certificate CN=velmora-test-idp expired on 2126-11-14"
        assert expired["days_left"] < 0 and expired["problem"] is None
