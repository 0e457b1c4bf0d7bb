"""Test cases of the demo identity provider: the broken responses a site
meets, sent so that an operator sees how the host refuses each.

Every case (CASES below) is a Response for alice, who has a host account,
so the case is all that is wrong with it. It answers the AuthnRequest the
sign-in page was shown for (a multi-factor sign-in when it asked for one),
and is signed with the IdP's key like any other response unless the case
is about the signature.

Two ways to send one: the "send a test case" form under the IdP's sign-in
form, or the command line, which starts a login at the host, submits that
form and posts the IdP's answer to the host's ACS URL as a browser would:

  python -m demo.idp_cases --host-url http://127.0.0.1:8000 [--case expired ...]
"""

import argparse
import dataclasses
import html
import logging
import re
import sys
import urllib.parse
import warnings
from collections.abc import Callable

# pysaml2 names cipher modes that cryptography has deprecated; the cases use none of them.
warnings.filterwarnings("ignore", module="saml2")

import time  # noqa: E402

import requests  # noqa: E402
from lxml import etree  # noqa: E402
from saml2.server import Server  # noqa: E402
from saml2.time_util import in_a_while  # noqa: E402

from demo.accounts import IDP_USERS  # noqa: E402
from demo.idp_pages import page  # noqa: E402
from demo.idp_sessions import MFA, PASSWORD  # noqa: E402

log = logging.getLogger("demo.idp")

# The user every case speaks for, and the one "tampered" turns it into.
CASE_USER = "alice"
TAMPERED_TO = "bob"
# The mail attribute as the IdP names it (the URI name form of pysaml2).
MAIL = "mail"
MAIL_URI = "urn:oid:0.9.2342.19200300.100.1.3"
ELSEWHERE = "https://elsewhere.example/saml/metadata/demo"
SAML_NS = {"saml": "urn:oasis:names:tc:SAML:2.0:assertion"}


def for_another_audience(assertion):
    for restriction in assertion.conditions.audience_restriction:
        for audience in restriction.audience:
            audience.text = ELSEWHERE


def ended_ten_minutes_ago(assertion):
    # Well past the few minutes of clock drift a service provider allows.
    ended = in_a_while(minutes=-10)
    assertion.conditions.not_before = in_a_while(minutes=-20)
    assertion.conditions.not_on_or_after = ended
    for confirmation in assertion.subject.subject_confirmation:
        confirmation.subject_confirmation_data.not_on_or_after = ended


def without_mail(identity):
    return {name: values for name, values in identity.items() if name != MAIL}


def blank_mail(identity):
    return {**identity, MAIL: [" "]}


def mail_changed_after_signing(document):
    root = etree.fromstring(document.encode("utf-8"))
    values = root.xpath(f"//saml:Attribute[@Name='{MAIL_URI}']/saml:AttributeValue", namespaces=SAML_NS)
    if not values:
        raise RuntimeError("the signed response holds no mail attribute to tamper with")
    for value in values:
        value.text = IDP_USERS[TAMPERED_TO]["email"]
    return etree.tostring(root, encoding="unicode")


@dataclasses.dataclass(frozen=True)
class Case:
    label: str  # as the IdP's form lists it
    change_identity: Callable[[dict], dict] | None = None  # the attributes sent
    change_assertion: Callable | None = None  # the pysaml2 Assertion, before it is signed
    change_document: Callable[[str], str] | None = None  # the signed XML
    other_key: bool = False
    answers_request: bool = True
    authn_class: str | None = None  # None: what the request asked (MFA or Password)
    signed_in_ago: int = 0  # seconds between the sign-in (AuthnInstant) and the response


CASES = {
    "wrong-audience": Case("wrong audience (meant for another service provider)",
                           change_assertion=for_another_audience),
    "expired": Case("expired (ten minutes ago)", change_assertion=ended_ten_minutes_ago),
    "other-key": Case("signed by another key", other_key=True),
    "tampered": Case("tampered after signing (the mail changed to bob's)",
                     change_document=mail_changed_after_signing),
    "attribute-missing": Case("mail attribute missing", change_identity=without_mail),
    "blank-values": Case("mail attribute blank", change_identity=blank_mail),
    "unsolicited": Case("unsolicited (answers no AuthnRequest)", answers_request=False),
    "without-mfa": Case("without MFA (a password sign-in, whatever was asked)", authn_class=PASSWORD),
    "stale-sign-in": Case("a sign-in of an hour ago (an IdP that ignores ForceAuthn)", signed_in_ago=3600),
}


class CaseServer(Server):
    """A pysaml2 IdP server that lets a case change each assertion before
    it is signed. One per response: it holds that response's change."""

    def __init__(self, config, change_assertion=None):
        super().__init__(config=config)
        self.change_assertion = change_assertion

    def setup_assertion(self, *args, **kwargs):
        assertion = super().setup_assertion(*args, **kwargs)
        if self.change_assertion is not None:
            self.change_assertion(assertion)
        return assertion


def case_form(key):
    """The form under the sign-in form: it answers the pending login `key` with a case."""
    options = "".join(f'<option value="{name}">{html.escape(case.label)}</option>' for name, case in CASES.items())
    return (
        f'<form method="post" action="/case" id="case"><input type="hidden" name="key" value="{html.escape(key)}">'
        f'<p><label>Or send a test case <select name="case" id="case-name">{options}</select></label> '
        '<button type="submit" id="send-case">Send</button></p></form>'
    )


# The pending login of the form above, as the command line finds it.
CASE_FORM_KEY = re.compile(r'<form method="post" action="/case" id="case">'
                           r'<input type="hidden" name="key" value="([^"]*)"')


class CaseResponses:
    """The test-case part of DemoIdentityProvider (a mixin: it uses the
    pending logins, the signing of SingleSignOn and the issued responses)."""

    def case_view(self, request):
        with self._lock:
            pending = self._pending.get(request.POST.get("key", ""))
        if pending is None:
            return page(400, "Login expired", "<p>This login request is unknown or expired; start again.</p>")
        name = request.POST.get("case", "")
        case = CASES.get(name)
        if case is None:
            return page(400, "Unknown test case", f"<p>No test case {html.escape(name)}.</p>")
        if case.other_key and self.other_key_config is None:
            return page(400, "No other key", "<p>This identity provider was started without a second key.</p>")
        response_args, relay_state, wants_mfa = pending
        ticket = self.keep_issued(response_args["destination"], self.case_document(case, response_args, wants_mfa),
                                  relay_state)
        log.info("issued the test case %s to %s (ticket %s)", name, response_args["destination"], ticket)
        return self.post_redirect(ticket)

    def case_document(self, case, response_args, wants_mfa=False):
        """The XML of the case's Response to these response arguments."""
        user = self.users[CASE_USER]
        identity = self.identity_of(CASE_USER)
        if case.change_identity is not None:
            identity = case.change_identity(identity)
        if not case.answers_request:
            response_args = {**response_args, "in_response_to": None}
        config = self.server.config
        if case.other_key:
            config = self.other_key_config
            config.metadata = self.server.metadata  # the service providers this IdP trusts
        name = self.issued_name(user, response_args["sp_entity_id"])
        authn_class = case.authn_class or (MFA if wants_mfa else PASSWORD)
        now = time.time()
        document = self.signed_response(CaseServer(config, case.change_assertion), CASE_USER, identity, name,
                                        response_args, authn_class, now - case.signed_in_ago,
                                        now + self.sessions.lifetime)
        return case.change_document(document) if case.change_document is not None else document


# -- command line ------------------------------------------------------------

HIDDEN = re.compile(r'<input type="hidden" name="(\w+)" value="([^"]*)"')
FORM_ACTION = re.compile(r'<form method="post" action="([^"]+)"')


class CaseNotSent(Exception):
    pass


@dataclasses.dataclass
class HostAnswer:
    """What the host answered to the posted case."""

    status: int
    location: str

    @property
    def refusal(self):
        """The error description of the login-failed page, or None when the host did not refuse."""
        if "/login/callback/failed" not in self.location:
            return None
        query = urllib.parse.urlsplit(self.location).query
        return urllib.parse.unquote(query.partition("error_description=")[2])


def send_case(host_url, name, idp_id="demo", timeout=30, params=None, browser=None):
    """Start a login at the host (`params` added to its query), have the IdP
    answer it with the case `name`, and post that to the host as a browser
    would (its cookies included: the response answers this browser's
    AuthnRequest). `browser`: a requests.Session to go on with."""
    browser = browser or requests.Session()
    start = browser.get(f"{host_url.rstrip('/')}/sso/saml/{idp_id}",
                        params={"return_to": "/protected", **(params or {})}, allow_redirects=False, timeout=timeout)
    if start.status_code != 302:
        raise CaseNotSent(f"the host answered {start.status_code} to the login start")
    idp_url = start.headers["Location"]
    sign_in = browser.get(idp_url, timeout=timeout)
    key = CASE_FORM_KEY.search(sign_in.text)
    if key is None:
        raise CaseNotSent(f"the IdP's answer ({sign_in.status_code}) has no test-case form")
    posting = browser.post(urllib.parse.urljoin(idp_url, "/case"), data={"key": html.unescape(key.group(1)),
                                                                         "case": name}, timeout=timeout)
    action = FORM_ACTION.search(posting.text)
    if posting.status_code != 200 or action is None:
        raise CaseNotSent(f"the IdP answered {posting.status_code} without a response to post")
    fields = {field: html.unescape(value) for field, value in HIDDEN.findall(posting.text)}
    answer = browser.post(html.unescape(action.group(1)), data=fields, allow_redirects=False, timeout=timeout)
    return HostAnswer(answer.status_code, answer.headers.get("Location", ""))


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Send the demo IdP's test cases to the demo host and print what it answered.",
        epilog="cases: " + "; ".join(f"{name}: {case.label}" for name, case in CASES.items()),
    )
    parser.add_argument("--host-url", required=True, help="the demo host, e.g. http://127.0.0.1:8000")
    parser.add_argument("--idp-id", default="demo", help="the host's id of the demo IdP (default demo)")
    parser.add_argument("--case", action="append", choices=list(CASES), metavar="NAME",
                        help="a case to send (repeatable; default: every case)")
    args = parser.parse_args(argv)
    failed = False
    for name in args.case or CASES:
        try:
            answer = send_case(args.host_url, name, args.idp_id)
        except (CaseNotSent, OSError) as e:
            print(f"{name}: not sent: {e}", file=sys.stderr)
            failed = True
            continue
        shown = f"refused: {answer.refusal}" if answer.refusal is not None else (
            f"not refused: {answer.status} {answer.location}")
        print(f"{name}: {shown}", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
