"""Remote IdP metadata refreshed in the background (`metadata_refresh_interval`),
against a real HTTP server on 127.0.0.1 whose documents change: when a
refresh is due, that no login waits for it, that a bad refresh keeps the last
good settings and backs off, one fetch per IdP however many threads notice,
and a whole key rollover at the IdP without a restart."""

import threading
import time

import pytest

import velmora_saml.idp_metadata as idp_metadata
import velmora_saml.saml as saml
from velmora_saml import idp_report
from velmora_saml.idp_metadata import MetadataNotAvailable
from tests.support import idp_metadata as md
from tests.support.metadata_helpers import (  # noqa: F401 (lines is a fixture)
    assemble, cached, login, login_app, refresh_threads_ended, remote_config, signing_certs, wait_for,
    wait_for_failures, wait_for_refreshes, lines,
)
from tests.support.settings import auth_settings, cert_body, read

OLD, NEW = cert_body("idp.crt"), cert_body("idp_next.crt")
status = idp_metadata.metadata_status
PATH = "/idp.xml"


@pytest.fixture
def served(metadata_server):
    """The metadata server publishing the test IdP's old certificate, unsigned."""
    metadata_server.publish(PATH, md.idp_metadata_xml())
    return metadata_server


def hits(server):
    return server.hits.get(PATH, 0)


class TestScheduledRefresh:
    def test_refreshed_in_the_background_once_the_interval_has_passed(self, served):
        config = remote_config(served.url(PATH), metadata_refresh_interval=0.4)
        first = assemble(config)
        assert signing_certs(first) == [OLD] and hits(served) == 1
        served.publish(PATH, md.idp_metadata_xml(certs=["idp.crt", "idp_next.crt"]))
        hold = md.Hold()
        served.queue(PATH, hold)  # the next fetch: the refresh, once due
        for _ in range(20):
            assert assemble(config) is first  # within the interval: the cache, no fetch
        assert hits(served) == 1
        # Due after the interval, and started without any request.
        assert hold.arrived.wait(5)
        started = time.monotonic()
        assert assemble(config) is first  # a login goes on with what it has
        assert time.monotonic() - started < 1  # waiting would last the 5 s fetch time-out
        assert cached() is first and status("idp1")["refreshing"]
        hold.release()
        wait_for_refreshes(status, "idp1", 1)
        refreshed = cached()
        assert refreshed is not first and signing_certs(refreshed) == [OLD, NEW]
        assert refreshed["extra_request_options"] == first["extra_request_options"]
        assert assemble(config) is refreshed and hits(served) == 2

    def test_refreshed_before_valid_until_passes(self, served):
        served.publish(PATH, md.idp_metadata_xml(valid_until=4))
        config = remote_config(served.url(PATH), metadata_refresh_interval=3600)
        first = assemble(config)
        record = status("idp1")
        # Due a tenth of the document's validity ahead of its end.
        assert record["valid_until"] - record["next_refresh_at"] >= 0.2
        served.publish(PATH, md.idp_metadata_xml(certs=["idp_next.crt"], valid_until=3600))
        assert assemble(config) is first and hits(served) == 1
        wait_for_refreshes(status, "idp1", 1)  # on the schedule alone
        assert signing_certs(cached()) == [NEW] and hits(served) == 2

    def test_refreshed_once_the_cache_duration_has_passed(self, served):
        served.publish(PATH, md.idp_metadata_xml(cache_duration=1))
        config = remote_config(served.url(PATH), metadata_refresh_interval=3600)
        first = assemble(config)
        assert status("idp1")["cache_duration"] == "PT1S"
        served.publish(PATH, md.idp_metadata_xml(certs=["idp_next.crt"]))
        assert assemble(config) is first and hits(served) == 1
        time.sleep(1.2)
        assemble(config)
        wait_for_refreshes(status, "idp1", 1)
        assert signing_certs(cached()) == [NEW] and hits(served) == 2
        # The new document sets no cacheDuration: the interval rules again.
        time.sleep(1.2)
        assemble(config)
        assert hits(served) == 2

    def test_without_the_interval_nothing_is_refreshed_whatever_the_document_says(self, served):
        served.publish(PATH, md.idp_metadata_xml(valid_until=1, cache_duration=1))
        config = remote_config(served.url(PATH))
        first = assemble(config)
        served.publish(PATH, md.idp_metadata_xml(certs=["idp_next.crt"]))
        time.sleep(1.5)
        for _ in range(5):
            assert assemble(config) is first
        time.sleep(0.2)
        assert hits(served) == 1 and status("idp1") is None

    def test_the_refresh_reads_the_local_settings_of_the_entry_again(self, served):
        # Local values still win over the metadata's after a refresh.
        config = remote_config(served.url(PATH), metadata_refresh_interval=0.3,
                               local_idp={"singleSignOnService": {"url": "https://local.example.test/sso"}})
        assert assemble(config)["idp"]["singleSignOnService"]["url"] == "https://local.example.test/sso"
        served.publish(PATH, md.idp_metadata_xml(certs=["idp_next.crt"]))
        time.sleep(0.35)
        assemble(config)
        wait_for_refreshes(status, "idp1", 1)
        assert cached()["idp"]["singleSignOnService"]["url"] == "https://local.example.test/sso"
        assert signing_certs(cached()) == [NEW]


class TestFailingRefresh:
    def test_a_failed_refresh_keeps_the_settings_logs_one_line_and_backs_off(self, served, lines):
        # The back-off is the interval here: 1 s, long enough for 100 requests.
        config = remote_config(served.url(PATH), metadata_refresh_interval=1)
        first = assemble(config)
        served.behaviours[PATH] = md.Status(503)
        wait_for_failures(status, "idp1", 1)
        assert assemble(config) is first
        (line,) = lines.matching("Failed to refresh metadata for idp1")
        assert "503" in line and line.endswith("Keeping the last good settings.")
        # Requests keep coming: the back-off (here the interval) holds them off.
        for _ in range(100):
            assert assemble(config) is first
        assert hits(served) == 2 and status("idp1")["last_error"] and cached() is first
        # After the back-off one more try, which works now.
        del served.behaviours[PATH]
        served.publish(PATH, md.idp_metadata_xml(certs=["idp_next.crt"]))
        wait_for_refreshes(status, "idp1", 1)
        assert hits(served) == 3 and signing_certs(cached()) == [NEW]
        assert status("idp1")["failures"] == 0 and status("idp1")["last_error"] is None
        assert len(lines.matching("Failed to refresh metadata for idp1")) == 1

    def test_back_off_grows_with_consecutive_failures_up_to_the_interval(self, served):
        config = remote_config(served.url(PATH), metadata_refresh_interval=1000)
        assemble(config)
        served.behaviours[PATH] = md.Status(500)
        delays = []
        for count in (1, 2, 3):
            idp_metadata.force_refresh("idp1")
            before = time.time()
            assemble(config)
            record = wait_for_failures(status, "idp1", count)
            delays.append(record["next_refresh_at"] - before)
        # 10 s, then 20 s, then 40 s (a second of slack for the fetch).
        assert [round(d / 10) for d in delays] == [1, 2, 4]
        assert hits(served) == 4

    @pytest.mark.parametrize("document, reason", [
        (b"<html>maintenance</html>", "Not valid IdP XML"),
        (md.idp_metadata_xml(sso_url=None), "single sign-on service"),
        (md.idp_metadata_xml(certs=[]), "signing certificate"),
        (md.idp_metadata_xml(certs=[("idp_next.crt", "encryption")]), "signing certificate"),
        (md.idp_metadata_xml(valid_until="2001-01-01T00:00:00Z"), "expired"),
        (md.idp_metadata_xml(sso_url="not a URL"), "idp_sso_url_invalid"),
    ], ids=["not-metadata", "no-sso", "no-cert", "encryption-cert-only", "expired", "settings-refused"])
    def test_a_document_that_cannot_be_used_keeps_the_last_good_settings(self, served, lines, document, reason):
        config = remote_config(served.url(PATH), metadata_refresh_interval=1)
        first = assemble(config)
        served.publish(PATH, document)
        wait_for_failures(status, "idp1", 1)  # on the schedule
        assert cached() is first and signing_certs(first) == [OLD]
        (line,) = lines.matching("Failed to refresh metadata for idp1")
        assert reason in line

    def test_a_slow_refresh_holds_no_login(self, served):
        config = remote_config(served.url(PATH), metadata_refresh_interval=0.3)
        first = assemble(config)
        served.publish(PATH, md.idp_metadata_xml(certs=["idp_next.crt"]))
        hold = md.Hold()
        served.queue(PATH, hold)
        assert hold.arrived.wait(5)
        slowest = 0.0
        for _ in range(50):
            started = time.monotonic()
            assert assemble(config) is first
            slowest = max(slowest, time.monotonic() - started)
        assert slowest < 0.1 and hits(served) == 2  # the one in flight, no other
        assert not refresh_threads_ended()  # the helpers' wait sees a refresh thread
        hold.release()
        wait_for_refreshes(status, "idp1", 1)
        assert signing_certs(cached()) == [NEW]

    def test_a_dripping_refresh_is_given_up_after_the_time_out(self, served, lines):
        config = remote_config(served.url(PATH), metadata_refresh_interval=0.3)
        first = saml.SamlIDPConfig.get_idp_settings(config, 1)  # fixes the process's time-out: 1 s
        served.behaviours[PATH] = md.Drip(30)
        time.sleep(0.35)
        started = time.monotonic()
        assemble(config)
        wait_for_failures(status, "idp1", 1, timeout=5)
        assert time.monotonic() - started < 3
        assert "timed out" in lines.matching("Failed to refresh metadata for idp1")[0]
        assert cached() is first

    @pytest.mark.slow
    def test_a_fetch_given_up_stops_reading_and_none_runs_beside_it(self, served, lines):
        # Each refresh gives up after the time-out; its thread stops reading
        # then and closes the connection, and the next refresh (every 0.3 s)
        # opens one only after that: the server never feeds two at once.
        config = remote_config(served.url(PATH), metadata_refresh_interval=0.3)
        first = saml.SamlIDPConfig.get_idp_settings(config, 0.5)  # fixes the process's time-out: 0.5 s
        served.behaviours[PATH] = md.Drip(30, interval=0.1)  # no read waits long enough to time out
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            assemble(config)  # notices each refresh that is due
            time.sleep(0.05)
        wait_for(lambda: not status("idp1")["refreshing"], what="the last refresh to end")
        answers = served.answers
        wait_for(lambda: all(answer["ended"] for answer in answers), 5, "the server to see every fetch end")
        assert len(answers) >= 2
        # The server notices a closed connection at its next write or two (0.1 s apart).
        assert all(answer["ended"] - answer["started"] < 0.5 + 0.5 for answer in answers), answers
        spans = sorted((answer["started"], answer["ended"]) for answer in answers)
        assert all(later[0] >= earlier[1] - 0.3 for earlier, later in zip(spans, spans[1:])), spans
        failures = lines.matching("Failed to refresh metadata for idp1")
        assert len(failures) >= 2 and all("timed out after 0.5 seconds" in line for line in failures)
        assert cached() is first

    def test_a_failed_first_load_is_retried_after_the_back_off(self, served, lines):
        served.behaviours[PATH] = md.Status(404)
        config = remote_config(served.url(PATH), metadata_refresh_interval=0.3,
                               local_idp=toolkit_idp_side())
        local = assemble(config)
        assert local is config["settings"] and signing_certs(local) == [OLD]
        assert lines.matching("Failed to load metadata for idp1 because of HTTP Error 404")
        del served.behaviours[PATH]
        served.publish(PATH, md.idp_metadata_xml(entity_id="https://idp.example.test/metadata"))
        assert assemble(config) is local and hits(served) == 1
        time.sleep(0.35)
        assemble(config)
        wait_for_refreshes(status, "idp1", 1)
        assert cached() is not local and hits(served) == 2
        assert config["settings"] is local  # the host's mapping is not replaced

    def test_a_refresh_of_an_earlier_first_load_is_dropped(self, served, tmp_path):
        config = remote_config(served.url(PATH), metadata_refresh_interval=0.3)
        assemble(config)
        hold = md.Hold()
        served.queue(PATH, hold)
        assert hold.arrived.wait(5)
        # The settings are assembled anew meanwhile (a new first load), from
        # a file: a fetch over the network would wait for the held one.
        saml.SamlIDPConfig.cached_saml_settings.clear()
        document = tmp_path / "idp.xml"
        document.write_bytes(md.idp_metadata_xml(certs=["other.crt"]))
        again = assemble(remote_config(str(document), metadata_refresh_interval=60))
        served.publish(PATH, md.idp_metadata_xml(certs=["idp_next.crt"]))
        hold.release()  # the held refresh now gets the idp_next document
        time.sleep(0.5)
        assert cached() is again and signing_certs(again) == [cert_body("other.crt")]
        assert status("idp1")["refreshes"] == 0 and not status("idp1")["refreshing"]


def toolkit_idp_side():
    from tests.support.settings import toolkit_settings

    idp = toolkit_settings()["idp"]
    return {key: value for key, value in idp.items() if key != "metadata"}


class TestOneFetchPerIdP:
    def test_eight_threads_noticing_at_once_make_one_fetch(self, served):
        config = remote_config(served.url(PATH), metadata_refresh_interval=0.3)
        first = assemble(config)
        hold = md.Hold()
        served.queue(PATH, hold)
        idp_metadata.force_refresh("idp1")  # due now: a login notices it before the schedule does
        barrier = threading.Barrier(8)
        seen = []

        def notice():
            barrier.wait()
            for _ in range(20):
                seen.append(assemble(config))

        threads = [threading.Thread(target=notice) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(10)
        assert hold.arrived.wait(5)
        assert len(seen) == 160 and all(settings is first for settings in seen)
        time.sleep(0.2)
        assert hits(served) == 2
        hold.release()
        wait_for_refreshes(status, "idp1", 1)
        assert hits(served) == 2

    def test_two_idps_refresh_each_on_its_own(self, served):
        served.publish("/second.xml", md.idp_metadata_xml(certs=["idp_next.crt"]))
        one = remote_config(served.url(PATH), "idp1", metadata_refresh_interval=0.3)
        two = remote_config(served.url("/second.xml"), "idp2", metadata_refresh_interval=0.3)
        assemble(one), assemble(two)
        hold = md.Hold()
        served.queue(PATH, hold)
        time.sleep(0.35)
        assemble(one)
        assert hold.arrived.wait(5)
        assemble(two)  # not held up by the refresh of the other
        wait_for_refreshes(status, "idp2", 1)
        assert served.hits["/second.xml"] == 2 and status("idp1")["refreshing"]
        hold.release()
        wait_for_refreshes(status, "idp1", 1)


class TestKeyRollover:
    """The IdP rolls its signing key: old only → old and new published → it
    signs with the new → the old is withdrawn. Logins go on without a
    restart; a response signed with the withdrawn key is refused after the
    refresh that withdrew it."""

    def test_rollover_without_restart(self, published_idp):
        idp = published_idp
        config = remote_config(idp.url, metadata_refresh_interval=1, metadata_signing_cert=read("metadata_signer.crt"))
        app = login_app(config)

        def refresh():
            count = status("idp1")["refreshes"]
            time.sleep(1.05)
            assert login(app, idp) == "logged in"  # this login notices; it is not held up
            wait_for_refreshes(status, "idp1", count + 1)

        assert login(app, idp) == "logged in"
        assert login(app, idp, md.NEW_KEY) != "logged in"  # not published yet
        assert status("idp1")["signature"] == "verified"

        idp.publish(md.OLD_KEY, md.NEW_KEY)
        refresh()
        assert signing_certs(cached()) == [OLD, NEW]
        assert login(app, idp) == "logged in"
        assert login(app, idp, md.NEW_KEY) == "logged in"

        idp.sign_with(md.NEW_KEY)
        assert login(app, idp) == "logged in"

        idp.publish(md.NEW_KEY)
        assert login(app, idp, md.OLD_KEY) == "logged in"  # before the refresh, still accepted
        refresh()
        assert signing_certs(cached()) == [NEW]
        assert login(app, idp) == "logged in"
        outcome = login(app, idp, md.OLD_KEY)
        assert outcome.startswith("refused: ") and "Signature" in outcome


class TestExpiry:
    """Settings from a document past its validUntil serve no login: the IdP
    waits for a fresh document, whatever its refreshes meet."""

    @pytest.mark.parametrize("keys", [{"metadata_refresh_interval": 0.5},
                                      {"metadata_signing_cert": read("metadata_signer.crt")}],
                             ids=["refreshed", "signed, no interval"])
    def test_an_expired_document_waits_for_a_fresh_one(self, published_idp, metadata_server, caplog, keys):
        idp = published_idp
        idp.publish(md.OLD_KEY, valid_until=2)
        config = remote_config(idp.url, **keys)
        app = login_app(config)
        assert login(app, idp) == "logged in"
        metadata_server.behaviours[idp.path] = md.Status(503)
        wait_for(lambda: time.time() > status("idp1")["valid_until"] + 0.05, 5, "validUntil")
        caplog.set_level("INFO", logger="velmora_saml.audit")
        outcome = login(app, idp)
        assert outcome.startswith("refused: The metadata of identity provider idp1 is not available: it expired at ")
        assert "(validUntil)" in outcome
        [record] = [r for r in caplog.records if r.name == "velmora_saml.audit"]
        assert (record.saml_reason, record.levelname) == ("metadata_unavailable", "ERROR")
        assert status("idp1")["expired"] is True
        report = idp_report.idp_report("idp1", config)
        assert report["in_service"] is False and report["metadata"]["expired"] is True
        assert any("expired" in warning for warning in report["warnings"])
        # The server is back with a fresh document: the retries bring it in.
        del metadata_server.behaviours[idp.path]
        idp.publish(md.OLD_KEY, valid_until=3600)
        wait_for(lambda: time.sleep(0.1) or login(app, idp) == "logged in", 20, "a login after the fresh document")
        assert status("idp1")["expired"] is False


class TestStartUpOutage:
    """The metadata server is down when the host starts: an IdP with
    metadata_refresh_interval stays enabled, refuses its logins with a
    reason, retries on the back-off's schedule (no login needed), and comes
    into service with the first good document, without a restart."""

    @pytest.mark.parametrize("validated", [True, False], ids=["validated-at-start", "first-use"])
    def test_the_outage_heals(self, published_idp, metadata_server, lines, validated):
        idp = published_idp
        metadata_server.behaviours[idp.path] = md.Status(503)
        # The back-off after the failure is the interval: long enough for six
        # logins on a loaded machine.
        config = remote_config(idp.url, metadata_refresh_interval=1.5, metadata_signing_cert=read("metadata_signer.crt"))
        app = login_app(config)
        if validated:
            saml.validate_saml_settings(app.app.registry.settings["auth_settings"], 5)
            assert config["enabled"] is True and not lines.matching("Saml IdP idp1 config is invalid")
        outcome = login(app, idp)
        assert outcome == "refused: The metadata of identity provider idp1 is not available yet (HTTP Error 503: " \
                          "Service Unavailable)"
        assert status("idp1")["fetched_at"] is None and status("idp1")["failures"] == 1
        assert "idp1" not in saml.SamlIDPConfig.cached_saml_settings
        # The SP's own document does not wait: the IdP's operator needs it.
        document = app.get("/saml/metadata/idp1")
        assert document.content_type == "text/xml"
        assert b'entityID="https://sp.example.test/saml/metadata/idp1"' in document.body
        # Within the back-off no login fetches.
        for _ in range(5):
            assert login(app, idp) == outcome
        assert hits(metadata_server) == 1

        del metadata_server.behaviours[idp.path]  # the server is back
        # The retry comes on the schedule, with no request: within the
        # back-off and a few seconds, and the first login after it works.
        wait_for_refreshes(status, "idp1", 1)
        (_, failed_at), (_, retried_at) = metadata_server.requests
        assert 1.5 <= retried_at - failed_at < 1.5 + 3
        assert login(app, idp) == "logged in"
        assert status("idp1")["signature"] == "verified" and hits(metadata_server) == 2

    def test_without_the_interval_the_idp_is_switched_off_as_before(self, published_idp, metadata_server):
        metadata_server.behaviours[published_idp.path] = md.Status(503)
        config = remote_config(published_idp.url, metadata_signing_cert=read("metadata_signer.crt"))
        saml.validate_saml_settings(auth_settings(("idp1", config)), 5)
        assert config["enabled"] is False

    def test_complete_local_settings_serve_meanwhile(self, metadata_server):
        metadata_server.behaviours[PATH] = md.Status(503)
        config = remote_config(metadata_server.url(PATH), metadata_refresh_interval=0.5,
                               local_idp=toolkit_idp_side())
        saml.validate_saml_settings(auth_settings(("idp1", config)), 5)
        assert config["enabled"] is True and cached() is config["settings"]


class TestBadValues:
    """The module's functions are reachable by anyone: wrong values raise, never crash."""

    @pytest.mark.parametrize("call", [
        lambda: idp_metadata.read_document(None, (None, None, None), None),
        lambda: idp_metadata.read_document(md.idp_metadata_xml(), "policy", None),
        lambda: idp_metadata.read_document(md.idp_metadata_xml(), (None, 5, None), object()),
        lambda: idp_metadata.read_document(md.idp_metadata_xml(), (None, None, None), object()),
        lambda: idp_metadata.start_record("x", {}, (1.0, None), None, "e"),
        lambda: idp_metadata.start_record("x", {}, ("1", None, None), None, "e"),
        lambda: idp_metadata.start_record("x", {}, (1.0, None, None), {"fetched_at": "now"}, None),
        lambda: idp_metadata.start_record("x", {}, (1.0, None, None), {}, None),
        lambda: idp_metadata.refresh_succeeded("x", "generation", {}),
        lambda: idp_metadata.claim_refresh([]),
        lambda: idp_metadata.metadata_policy(None),
    ], ids=["document-none", "policy-text", "cert-number", "parser-object", "short-policy", "interval-text",
            "facts-time-text", "facts-empty", "generation-text", "unhashable-name", "config-none"])
    def test_wrong_values_raise(self, call):
        with pytest.raises((TypeError, ValueError, KeyError, AttributeError)):
            call()
        assert status("x") is None

    def test_a_record_of_another_generation_is_left_alone(self):
        idp_metadata.start_record("gen", {}, (1.0, None, None), None, "down")
        assert status("gen")["failures"] == 1
        assert idp_metadata.refresh_failed("gen", 10**9, "late") is False
        facts = {"fetched_at": time.time(), "valid_until": None, "cache_until": None, "cache_duration": None,
                 "certificates": [OLD], "signed_by": None}
        assert idp_metadata.refresh_succeeded("gen", -1, facts) is False
        assert status("gen")["failures"] == 1 and status("gen")["last_error"] == "down"
