"""The URL the browser is sent on to after a login (the relay state, when safe)."""

import logging

import pytest

import velmora_saml.saml as saml
from tests.support.idp_objects import make_idp

HOST = "sp.example.test"
ROOT_URL = f"https://{HOST}/"


def return_url(relay_state, host=HOST, https=True, path="/saml/acs"):
    idp = make_idp(relay_state=relay_state, host=host, https=https, path=path)
    return idp.get_return_to_url()


@pytest.fixture
def errors(caplog):
    caplog.set_level(logging.DEBUG, logger="velmora")

    def lines():
        return [(r.name, r.levelname, r.getMessage()) for r in caplog.records]

    return lines


class TestAccepted:
    @pytest.mark.parametrize(
        "relay_state, expected",
        [
            ("/reports/7?x=1", f"https://{HOST}/reports/7?x=1"),
            (f"https://{HOST}:8443/a", f"https://{HOST}:8443/a"),
            (f"http://{HOST}/a", f"http://{HOST}/a"),
            ("/saml/acsx", f"https://{HOST}/saml/acsx"),
            ("/saml/acs/other", f"https://{HOST}/saml/acs/other"),
            ("/a/sso/saml", f"https://{HOST}/a/sso/saml"),
            ("//evil.example/x", f"https://{HOST}//evil.example/x"),
            ("/\\evil.example", f"https://{HOST}/\\evil.example"),
            (f"https://{HOST.upper()}/a", f"https://{HOST.upper()}/a"),
        ],
        ids=["path", "other-port", "other-scheme", "next-to-acs", "under-acs", "sso-deeper", "double-slash-path",
             "backslash-in-path",
             "upper-case-url"],
    )
    def test_same_host(self, relay_state, expected, errors):
        assert return_url(relay_state) == expected
        assert errors() == []

    def test_request_host_with_port(self, errors):
        assert return_url("/a", host=f"{HOST}:8443") == f"https://{HOST}:8443/a"


class TestRootUrl:
    @pytest.mark.parametrize("relay_state", [None, ""], ids=["absent", "empty"])
    def test_no_relay_state(self, relay_state, errors):
        assert return_url(relay_state) == ROOT_URL
        assert errors() == []

    @pytest.mark.parametrize(
        "relay_state",
        [
            "https://evil.example/a",
            f"https://{HOST}.evil.example/",
            f"https://evil.example\\@{HOST}/",
            f"https://evil.example\\\\@{HOST}:443/",
            f"https://{HOST}\\@evil.example/",
        ],
        ids=["foreign", "suffix", "backslash-userinfo", "two-backslashes", "backslash-then-at"],
    )
    def test_foreign_host(self, relay_state, errors):
        assert return_url(relay_state) == ROOT_URL
        assert errors() == [("velmora", "ERROR", "Wrong host in redirect url")]

    @pytest.mark.parametrize(
        "relay_state",
        [f"https://{HOST}:65536/a", f"https://{HOST}:abc/a", f"https://{HOST}:443:evil.example/a"],
        ids=["port-out-of-range", "port-not-digits", "two-ports"],
    )
    def test_port_a_browser_cannot_read(self, relay_state, errors):
        # The host matches, but the browser would stop at an error page.
        assert return_url(relay_state) == ROOT_URL
        assert errors() == [("velmora", "ERROR", "Wrong host in redirect url")]

    @pytest.mark.parametrize(
        "relay_state",
        ["/a\r\nSet-Cookie: s=1", "/caf\u00e9", "/\u20ac", "/a b", "/a\tb", "/a\x00", "/a\x7f"],
        ids=["crlf", "latin-1", "not-latin-1", "blank", "tab", "nul", "del"],
    )
    def test_characters_a_location_header_cannot_carry(self, relay_state, errors):
        assert return_url(relay_state) == ROOT_URL
        assert errors() == [("velmora", "ERROR", "Unsafe characters in redirect url")]

    def test_refused_by_the_toolkit(self, errors):
        assert return_url("javascript:alert(1)") == ROOT_URL
        assert errors() == [("velmora", "ERROR", "Redirect to invalid URL: javascript:alert(1)")]

    # Written any way that leads the browser to the same path on this host.
    @pytest.mark.parametrize("relay_state", [
        "/saml/acs", f"https://{HOST}/saml/acs", f"https://{HOST.upper()}/saml/acs", f"https://{HOST}:443/saml/acs",
        f"http://{HOST}:80/saml/acs", f"https://{HOST}:8443/saml/acs", "/saml/acs/", "/saml/acs?", "/saml/acs?next=1",
        "/saml/acs#top", "/saml/acs;x", "/./saml/acs", "/x/../saml/acs", "/saml/%2e/acs", "/saml//acs",
        "/%73aml/acs", "/saml%2Facs", "/saml\\acs",
    ])
    def test_back_to_the_consumer_url(self, relay_state, errors):
        assert return_url(relay_state) == ROOT_URL
        assert errors() == []

    @pytest.mark.parametrize("relay_state", [
        "/sso/saml", "/sso/saml?idp_id=a", "/sso/samlx", "/sso/saml/idp1", f"https://{HOST.upper()}/sso/saml/idp1",
        f"https://{HOST}:443/sso/saml/idp1", "/./sso/saml/idp1", "/a/../sso/saml/idp1", "/sso/./saml/idp1",
        "//sso/saml/idp1", "/sso//saml/idp1", "/%2e/sso/saml/idp1", "/%73so/saml/idp1", "/sso%2fsaml/idp1",
        "/sso\\saml/idp1", "/sso/saml/idp1/",
    ])
    def test_back_into_a_login(self, relay_state, errors):
        assert return_url(relay_state) == ROOT_URL
        assert errors() == []

    def test_consumer_url_of_another_path(self, errors):
        # The consumer URL is the request's own path, not a fixed one.
        assert return_url("/saml/acs/idp1/", path="/saml/acs/idp1") == ROOT_URL
        assert return_url("/saml/acs", path="/saml/acs/idp1") == f"https://{HOST}/saml/acs"

    def test_upper_case_request_host(self, errors):
        # The parsed host name is lower case, the request's host is compared
        # as received: every relay state falls back to the root.
        assert return_url("/a", host=HOST.upper()) == f"https://{HOST.upper()}/"
        assert errors() == [("velmora", "ERROR", "Wrong host in redirect url")]

    def test_plain_http_callback(self, errors):
        assert return_url("/saml/acs", https=False) == f"http://{HOST}/"


class TestFailures:
    @pytest.mark.parametrize("relay_state", ["https://[::1/x", "https://[host/x", "http://[::1]x:80/"])
    def test_malformed_bracketed_host_goes_to_the_root(self, relay_state, errors):
        # urlparse raises on these; the login itself went through, so the
        # user lands on the root instead of a server error.
        assert return_url(relay_state) == ROOT_URL
        assert errors() == [("velmora", "ERROR", "Wrong host in redirect url")]


class TestCallTimeNames:
    def test_urlparse_and_utils_looked_up_at_call_time(self, monkeypatch, errors):
        real_utils = saml.OneLogin_Saml2_Utils

        class Utils:
            @staticmethod
            def get_self_host(request):
                return "elsewhere.example"

            get_self_url = staticmethod(real_utils.get_self_url)
            get_self_url_host = staticmethod(real_utils.get_self_url_host)

        monkeypatch.setattr(saml, "OneLogin_Saml2_Utils", Utils)
        assert return_url("/a") == ROOT_URL
        assert errors() == [("velmora", "ERROR", "Wrong host in redirect url")]

    def test_error_class_looked_up_at_call_time(self, monkeypatch, errors):
        class OtherError(Exception):
            pass

        monkeypatch.setattr(saml, "OneLogin_Saml2_Error", OtherError)
        assert return_url("https://evil.example/") == ROOT_URL
        with pytest.raises(Exception, match="Redirect to invalid URL"):
            # The toolkit's own error is no longer the one caught.
            return_url("javascript:x")
