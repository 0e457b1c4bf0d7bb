"""GET /saml/status: the running process's IdP reports and site facts, for
allowed client addresses only; absent without "status_allow"."""

import uuid

import pytest
from pyramid.exceptions import ConfigurationError

import velmora_saml.saml as saml
from tests.support import idp_metadata as md
from tests.support import saml_idp, sp_app
from tests.support.metadata_helpers import remote_config, wait_for_refreshes
from velmora_saml.idp_metadata import metadata_status
from tests.support.settings import auth_settings, idp_config, read
from velmora.storage import ConfigStorage

ALLOW = ["127.0.0.1/32", "::1/128", "10.1.0.0/16"]
SIGNER = read("metadata_signer.crt")


def settings_with(*entries, **saml_keys):
    settings = auth_settings(*entries)
    settings["authentication_policies"]["saml"].update(saml_keys)
    return settings


def status_app(settings, mc=None):
    saml.validate_saml_settings(settings, 5)
    return sp_app.make_app(settings, ConfigStorage(sp_app.USERS, mc=mc))


def get(app, address, status=200, **headers):
    return app.get("/saml/status", headers=headers, extra_environ={"REMOTE_ADDR": address}, status=status)


def unrouted(app, address, method="GET"):
    """What the host answers for a path no route matches, as the status route's own text."""
    answer = app.request("/saml/nothing", method=method, environ={"REMOTE_ADDR": address}, expect_errors=True)
    return answer.status_int, answer.text.replace("/saml/nothing", "/saml/status")


@pytest.fixture
def three_idps(published_idp):
    """A refreshed, signed remote IdP, a local one, one that fails validation."""
    broken = idp_config("broken")
    del broken["settings"]["idp"]["singleSignOnService"]
    return settings_with(
        ("corp", remote_config(published_idp.url, "corp", metadata_refresh_interval=3600,
                               metadata_signing_cert=SIGNER)),
        ("local", idp_config("local")), ("broken", broken), status_allow=ALLOW)


class TestAllowed:
    def test_the_json_document(self, three_idps, published_idp):
        app = status_app(three_idps)
        document = get(app, "127.0.0.1").json
        # Reading the status fetches and assembles nothing.
        assert get(app, "127.0.0.1").json["identity_providers"] == document["identity_providers"]
        assert published_idp.server.hits[published_idp.path] == 1
        site = document["site"]
        assert site["saml_enabled"] is True and site["started_at"].endswith(" UTC")
        assert site["replay_store"] == {"kind": "mapping", "memcache": False, "memcache_answered": None,
                                        "memcache_error": None}
        assert set(site["counts"]) == {"login", "logout", "idp_logout"}
        assert site["toolkit_caches"] == {"on": True, "left_alone": None}
        corp, local, broken = document["identity_providers"]
        assert [(r["id"], r["validation"], r["enabled"], r["in_service"]) for r in (corp, local, broken)] == [
            ("corp", "valid", True, True), ("local", "valid", True, True), ("broken", "invalid", False, False)]
        assert broken["reason"].endswith("Invalid dict settings: idp_sso_not_found")
        metadata = corp["metadata"]
        assert metadata["url"] == published_idp.url and metadata["fetched"] is True
        assert (metadata["signature"], metadata["signed_by"]) == ("verified", "metadata_signing_cert")
        assert metadata["refresh_interval"] == 3600 and metadata["next_refresh"].endswith(" UTC")
        assert (metadata["failures"], metadata["last_error"]) == (0, None)
        assert corp["idp_entity_id"] == "https://idp.example.test/metadata"
        assert corp["sp_entity_id"] == "https://sp.example.test/saml/metadata/corp"
        assert [(c["source"], c["subject"]) for c in corp["idp_certificates"]] == [
            ("metadata", "CN=velmora-test-idp")]
        assert [(c["source"], c["subject"]) for c in corp["sp_certificates"]] == [("sp.x509cert", "CN=velmora-test-sp")]
        assert local["metadata"] is None and corp["problems"] == [] and corp["warnings"] == []

    @pytest.mark.parametrize("address", ["127.0.0.1", "::1", "10.1.200.3", "::ffff:127.0.0.1"])
    def test_every_address_of_the_networks(self, address):
        app = status_app(settings_with(("idp1", idp_config("idp1")), status_allow=ALLOW))
        assert get(app, address).content_type == "application/json"

    def test_a_browser_gets_the_page(self, tmp_path):
        key_pair = md.make_key_pair(tmp_path, days=10)
        soon = idp_config("soon")
        soon["settings"]["sp"].update(x509cert=read(f"{key_pair}.crt"), privateKey=read(f"{key_pair}.key"))
        app = status_app(settings_with(("soon", soon), ("<b>", idp_config("x")), status_allow=ALLOW))
        page = get(app, "127.0.0.1", Accept="text/html,application/xhtml+xml,*/*;q=0.8")
        assert page.content_type == "text/html" and page.headers["Cache-Control"] == "no-store"
        assert page.text.count("<table>") == 3  # the site and one per IdP
        assert '<td class=expiring>CN=velmora-test-expiring, expires ' in page.text
        assert ">IdP &lt;b&gt;</h2>" in page.text and "<b>" not in page.text  # escaped
        # A client that takes anything gets JSON.
        assert get(app, "127.0.0.1", Accept="*/*").content_type == "application/json"

    def test_a_waiting_idp_and_its_last_error(self, metadata_server):
        metadata_server.behaviours["/idp.xml"] = md.Status(503)
        settings = settings_with(("corp", remote_config(metadata_server.url("/idp.xml"), "corp",
                                                        metadata_refresh_interval=60)), status_allow=ALLOW)
        (corp,) = get(status_app(settings), "127.0.0.1").json["identity_providers"]
        assert (corp["validation"], corp["enabled"], corp["in_service"]) == ("waiting", True, False)
        assert "is not available yet (HTTP Error 503" in corp["reason"]
        assert corp["metadata"]["failures"] == 1 and "503" in corp["metadata"]["last_error"]

    def test_memcache_round_trip_and_audit_counts(self, start_memcached):
        server = start_memcached()
        app = status_app(settings_with(("idp1", idp_config("idp1")), status_allow=ALLOW, replay_store="keys"),
                         mc=server.client(timeout=0.5))
        before = get(app, "127.0.0.1").json["site"]["counts"]["login"]
        app.post("/saml/acs/idp1", {"SAMLResponse": "bm90IFNBTUw="}, status="*")  # refused: not SAML
        site = get(app, "127.0.0.1").json["site"]
        assert site["replay_store"]["kind"] == "keys" and site["replay_store"]["memcache_answered"] is True
        assert site["counts"]["login"] == {**before, "refused": before["refused"] + 1}
        server.stop()
        store = get(app, "127.0.0.1").json["site"]["replay_store"]
        assert store["memcache_answered"] is False and store["memcache_error"]


class TestTheTruthNow:
    """The page and the document say what holds now: the state of each IdP,
    past errors marked as past, what its logins met."""

    def test_after_an_outage_heals(self, published_idp, metadata_server):
        metadata_server.behaviours[published_idp.path] = md.Status(503)
        settings = settings_with(("corp", remote_config(published_idp.url, "corp", metadata_refresh_interval=1.5,
                                                        metadata_signing_cert=SIGNER)), status_allow=ALLOW)
        app = status_app(settings)
        (corp,) = get(app, "127.0.0.1").json["identity_providers"]
        assert (corp["state"], corp["in_service"], corp["validation"]) == ("waiting", False, "waiting")
        assert "503" in corp["state_reason"] and "503" in corp["metadata"]["last_error"]
        del metadata_server.behaviours[published_idp.path]
        wait_for_refreshes(metadata_status, "corp", 1)  # on the schedule, no login
        (corp,) = get(app, "127.0.0.1").json["identity_providers"]
        assert (corp["state"], corp["in_service"], corp["state_reason"]) == ("in_service", True, None)
        assert corp["metadata"]["failures"] == 0
        for past in (corp["metadata"]["last_error"], corp["metadata"]["error"]):
            assert past["recovered"] is True and "503" in past["error"] and past["at"].endswith(" UTC")
        page = get(app, "127.0.0.1", Accept="text/html").text
        assert "<td class=\"good\">in service</td>" in page and "(past)" in page and "past: HTTP Error 503" in page
        assert "<td class=bad>" not in page and 'class="bad"' not in page

    def test_a_never_validated_idp_is_in_service_only_when_its_logins_can_succeed(self):
        settings = settings_with(("good", idp_config("good")), ("broken", idp_config("broken", saml_auth_regex="(")),
                                 status_allow=ALLOW)
        app = sp_app.make_app(settings, ConfigStorage(sp_app.USERS))  # the host never validates
        good, broken = get(app, "127.0.0.1").json["identity_providers"]
        assert (good["validation"], good["state"], good["in_service"]) == ("not validated", "in_service", True)
        assert (broken["state"], broken["in_service"]) == ("invalid", False)
        assert "saml_auth_regex" in broken["state_reason"]

    def test_login_outcomes_and_the_summary(self):
        # Ids of this test alone: the counts are the process's since its start.
        one, two = (f"idp-{uuid.uuid4().hex[:8]}" for _ in range(2))
        app = status_app(settings_with((one, idp_config(one)), (two, idp_config(two)), status_allow=ALLOW))
        for name_id, options in [("alice@example.test", {}), ("nobody@example.test", {}),
                                 ("alice@example.test", {"audience": "https://x.example/sp"})]:
            sp_app.login(app, saml_idp.build_response(name_id, idp_id=one, **options), idp_id=one)
        idp1, other = get(app, "127.0.0.1").json["identity_providers"]
        assert idp1["logins"] == {"success": 1, "refused": {"user_not_found": 1, "wrong_audience": 1}, "error": {}}
        assert idp1["last_failure"]["reason"] == "wrong_audience" and idp1["last_failure"]["at"].endswith(" UTC")
        assert other["logins"] == {"success": 0, "refused": {}, "error": {}} and other["last_failure"] is None
        page = get(app, "127.0.0.1", Accept="text/html").text
        summary = page.split("<table class=summary>")[1].split("</table>")[0]
        assert summary.count("<tr>") == 3 and "1 ok / 2 refused" in summary and "0 ok / 0 refused" in summary
        assert "2126-11-14 (" in summary  # the earliest certificate expiry


class TestRefused:
    @pytest.mark.parametrize("address", ["192.0.2.7", "10.2.0.1", "::2", "not-an-address"])
    def test_other_addresses_get_the_hosts_404(self, address):
        app = status_app(settings_with(("idp1", idp_config("idp1")), status_allow=ALLOW))
        refused = get(app, address, status=404)
        unrouted = app.get("/saml/nothing", extra_environ={"REMOTE_ADDR": address}, status=404)
        assert refused.text.replace("/saml/status", "/saml/nothing") == unrouted.text

    def test_without_the_key_there_is_no_route(self):
        app = status_app(settings_with(("idp1", idp_config("idp1"))))
        get(app, "127.0.0.1", status=404)
        assert "saml_status" not in [route.name for route in app.app.routes_mapper.get_routes()]

    @pytest.mark.parametrize("value", ["127.0.0.1/32", ["localhost"], [None]])
    def test_a_bad_value_stops_the_start(self, value):
        with pytest.raises(ConfigurationError, match="status_allow"):
            sp_app.make_app(settings_with(("idp1", idp_config("idp1")), status_allow=value),
                            ConfigStorage(sp_app.USERS))

    @pytest.mark.parametrize("method", ["POST", "PUT", "DELETE", "PATCH", "OPTIONS"])
    def test_other_methods_get_the_hosts_404_and_name_nothing(self, method):
        app = status_app(settings_with(("idp1", idp_config("idp1")), status_allow=ALLOW))
        answer = app.request("/saml/status", method=method, environ={"REMOTE_ADDR": "127.0.0.1"},
                             expect_errors=True)
        assert (answer.status_int, answer.text) == unrouted(app, "127.0.0.1", method)
        assert "StatusView" not in answer.text and "predicate" not in answer.text

    def test_head_is_served_as_get(self):
        app = status_app(settings_with(("idp1", idp_config("idp1")), status_allow=ALLOW))
        answer = app.head("/saml/status", extra_environ={"REMOTE_ADDR": "127.0.0.1"})
        assert answer.status_int == 200 and answer.content_type == "application/json"


TRUSTED = ["10.9.0.0/16"]


class TestPeerAddress:
    # (peer address, X-Forwarded-For sent, status_trusted_proxies, served):
    # only the peer decides, or behind a trusted proxy the entry it added.
    CASES = [
        ("192.0.2.7", "127.0.0.1", None, False),  # the client's own header
        ("192.0.2.7", "127.0.0.1, 127.0.0.1", None, False),
        ("127.0.0.1", "192.0.2.7", None, True),  # an allowed peer, whatever the header says
        ("10.9.0.1", "127.0.0.1", TRUSTED, True),  # the trusted proxy's entry
        ("10.9.0.1", "127.0.0.1, 192.0.2.7", TRUSTED, False),  # the client wrote the first one
        ("10.9.0.1", "192.0.2.7, 127.0.0.1", TRUSTED, True),
        ("10.9.0.1", "192.0.2.7, 127.0.0.1, 10.9.0.2", TRUSTED, True),  # two trusted proxies in a row
        ("10.9.0.1", "127.0.0.1, 192.0.2.7, 10.9.0.2", TRUSTED, False),
        ("10.9.0.1", "127.0.0.1, not-an-address", TRUSTED, False),
        ("10.9.0.1", None, TRUSTED, False),  # the proxy's own request: the proxy is not allowed
        ("192.0.2.7", "127.0.0.1", TRUSTED, False),  # a peer that is no trusted proxy
        ("::ffff:10.9.0.1", "::1", TRUSTED, True),
    ]

    @pytest.mark.parametrize("peer, forwarded, trusted, served", CASES)
    def test_who_is_served(self, peer, forwarded, trusted, served):
        keys = {} if trusted is None else {"status_trusted_proxies": trusted}
        app = status_app(settings_with(("idp1", idp_config("idp1")), status_allow=ALLOW, **keys))
        headers = {} if forwarded is None else {"X-Forwarded-For": forwarded}
        answer = get(app, peer, status="*", **headers)
        if served:
            assert answer.status_int == 200 and "identity_providers" in answer.json
        else:
            assert (answer.status_int, answer.text) == unrouted(app, peer)

    @pytest.mark.parametrize("value", ["10.9.0.0/16", ["proxy.example"]])
    def test_a_bad_value_stops_the_start(self, value):
        with pytest.raises(ConfigurationError, match="status_trusted_proxies"):
            sp_app.make_app(settings_with(("idp1", idp_config("idp1")), status_allow=ALLOW,
                                          status_trusted_proxies=value), ConfigStorage(sp_app.USERS))
