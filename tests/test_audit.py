"""The audit records on the logger velmora_saml.audit: one per outcome of
every login, logout and IdP-initiated logout, telling each case apart by
itself (reason code, IdP, subject, client), through Pyramid with real
signed responses and logout messages."""

import base64
import logging
import urllib.parse
import uuid

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tests.support import logfmt, saml_idp, saml_logout, sp_app
from tests.support import settings as test_settings
from tests.test_logout_single import idp_answer, slo_settings, start_logout
from velmora.storage import ConfigStorage
from velmora_saml import audit

ALICE = "alice@example.test"
CLIENT = "203.0.113.7"
FIELDS = ("saml_event", "saml_outcome", "saml_reason", "saml_idp", "saml_subject", "saml_user", "saml_client",
          "saml_message_id", "saml_detail")


def site(**extra):
    """Five IdP entries, each set up for some of the cases."""
    entries = [
        ("idp1", test_settings.idp_config("idp1", settings=slo_settings(), single_logout=True)),
        ("mail", test_settings.idp_config("mail", saml_auth_attribute="mail")),
        ("asked", test_settings.idp_config("asked", allow_unsolicited=False)),
        ("off", test_settings.idp_config("off", enabled=False)),
        ("broken", test_settings.idp_config("broken", saml_auth_regex="(")),
    ]
    return test_settings.auth_settings(*entries)


@pytest.fixture
def app():
    return sp_app.make_app(site(), ConfigStorage(sp_app.USERS), REMOTE_ADDR=CLIENT)


def post(idp_id, name_id=ALICE, **options):
    return lambda app: sp_app.login(app, saml_idp.build_response(name_id, idp_id=idp_id, **options), idp_id=idp_id)


def tampered(response):
    """A signed response whose NameID was changed after signing."""
    xml = base64.b64decode(response).replace(ALICE.encode(), b"mallory@example.test")
    return base64.b64encode(xml).decode()


# (Ids are new on every run: the process's replay tracker outlives the test.)
REPLAYED = saml_idp.build_response("bob@example.test")

# (case, action, (event, outcome, reason, idp, subject, user), level)
WALK = [
    ("success", post("idp1"), ("login", "success", None, "idp1", ALICE, "u-alice"), logging.INFO),
    ("another signing key", post("idp1", key="other.key", cert="other.crt"),
     ("login", "refused", "unknown_signing_key", "idp1", ALICE, None), logging.WARNING),
    ("tampered", lambda app: sp_app.login(app, tampered(saml_idp.build_response(ALICE)), idp_id="idp1"),
     ("login", "refused", "invalid_signature", "idp1", "mallory@example.test", None), logging.WARNING),
    ("unsigned", post("idp1", sign=None), ("login", "refused", "invalid_signature", "idp1", ALICE, None),
     logging.WARNING),
    ("wrong audience", post("idp1", audience="https://other.example/sp"),
     ("login", "refused", "wrong_audience", "idp1", ALICE, None), logging.WARNING),
    ("wrong destination", post("idp1", destination="https://other.example/acs"),
     ("login", "refused", "wrong_destination", "idp1", ALICE, None), logging.WARNING),
    ("expired", post("idp1", valid_for=-600), ("login", "refused", "expired", "idp1", ALICE, None), logging.WARNING),
    ("wrong issuer", post("idp1", issuer="https://other-idp.example/metadata"),
     ("login", "refused", "wrong_issuer", "idp1", ALICE, None), logging.WARNING),
    ("first of a replay", lambda app: sp_app.login(app, REPLAYED),
     ("login", "success", None, "idp1", "bob@example.test", "u-bob"), logging.INFO),
    ("replay", lambda app: sp_app.login(app, REPLAYED),
     ("login", "refused", "replay", "idp1", "bob@example.test", None), logging.WARNING),
    ("unsolicited", post("asked"), ("login", "refused", "unsolicited", "asked", ALICE, None), logging.WARNING),
    ("unknown user", post("idp1", "nobody@example.test"),
     ("login", "refused", "user_not_found", "idp1", "nobody@example.test", None), logging.WARNING),
    ("ambiguous user", post("mail", attributes={"mail": [ALICE, "bob@example.test"]}),
     ("login", "refused", "user_ambiguous", "mail", ALICE, None), logging.WARNING),
    ("missing attribute", post("mail", attributes={"uid": "alice"}),
     ("login", "refused", "attribute_missing", "mail", ALICE, None), logging.WARNING),
    ("blank values", post("mail", attributes={"mail": ["  ", ""]}),
     ("login", "refused", "values_missing", "mail", ALICE, None), logging.WARNING),
    ("configuration fault", post("broken"), ("login", "error", "configuration", "broken", ALICE, None),
     logging.ERROR),
    ("IdP unknown at the callback", post("nope"), ("login", "refused", "idp_unknown", "nope", ALICE, None),
     logging.WARNING),
    ("IdP unknown at the start", lambda app: app.get("/sso/saml/nope"),
     ("login", "refused", "idp_unknown", "nope", None, None), logging.WARNING),
    ("IdP disabled", lambda app: app.get("/sso/saml/off"), ("login", "refused", "idp_disabled", "off", None, None),
     logging.WARNING),
]


def test_every_outcome_is_told_apart_from_the_audit_log_alone(app, records):
    before = audit.counts()
    for case, action, expected, level in WALK:
        action(app)
        [record] = records()
        assert tuple(getattr(record, field) for field in FIELDS[:6]) == expected, case
        assert record.levelno == level, case
        assert record.saml_client == CLIENT, case
        message = record.getMessage()
        assert "\n" not in message and message.startswith(f"SAML {expected[0]} {expected[1]}"), case
        if expected[4]:
            assert f"subject={expected[4]}" in message, case
            assert record.saml_message_id.startswith("_"), case
        if expected[2]:
            assert f"({expected[2]})" in message and record.saml_detail, case
        for field in FIELDS:
            value = getattr(record, field)
            assert value is None or ("PRIVATE KEY" not in value and "<saml" not in value), (case, field)
    counted = {outcome: sum(1 for _, _, e, _ in WALK if e[1] == outcome) for outcome in audit.OUTCOMES}
    after = audit.counts()
    assert {o: after["login"][o] - before["login"][o] for o in audit.OUTCOMES} == counted
    assert after["logout"] == before["logout"]


@pytest.mark.parametrize("attributes, detail", [
    ({"uid": "alice", "cn": "Alice"}, "wanted mail; received NameID, cn, uid"),
    ({"mail": ["x@example.test", "y@example.test"]}, "mail compared with user email"),
], ids=["missing", "not-found"])
def test_the_detail_says_what_arrived(app, records, attributes, detail):
    post("mail", attributes=attributes)(app)
    [record] = records()
    assert record.saml_detail == detail


def test_a_key_the_idp_rolled_is_named_by_its_certificate(app, records):
    from onelogin.saml2.utils import OneLogin_Saml2_Utils

    post("idp1", key="other.key", cert="other.crt")(app)
    [record] = records()
    fingerprint = OneLogin_Saml2_Utils.calculate_x509_fingerprint(test_settings.read("other.crt"), "sha256")
    assert record.saml_reason == "unknown_signing_key"
    assert f"SHA-256 {fingerprint}," in record.saml_detail and "not after 2" in record.saml_detail
    assert not record.saml_detail.endswith("invalid_response")  # the toolkit's code, said by the reason


def test_the_regex_that_kept_no_value_is_named(records):
    config = test_settings.idp_config("idp1", saml_auth_regex=r"staff-")
    app = sp_app.make_app(test_settings.auth_settings(("idp1", config)), ConfigStorage(sp_app.USERS))
    post("idp1")(app)
    [record] = records()
    assert record.saml_reason == "user_not_found"
    assert "saml_auth_regex 'staff-'" in record.saml_detail


def test_logouts_both_ways(app, records):
    before = audit.counts()
    post("idp1")(app)
    answer = idp_answer(start_logout(app))
    app.get(f"/saml/sls/idp1?{answer}")
    app.get(f"/saml/sls/idp1?{answer}")  # answered already
    post("idp1")(app)
    first, second = (f"_idp-logout-{uuid.uuid4().hex}" for _ in range(2))
    request = saml_logout.logout_request(ALICE, request_id=first)
    app.get(f"/saml/sls/idp1?{saml_logout.redirect_query(request)}")
    app.get(f"/saml/sls/idp1?{saml_logout.redirect_query(request)}")  # a replay
    forged = saml_logout.logout_request(ALICE, request_id=second)
    app.get(f"/saml/sls/idp1?{saml_logout.redirect_query(forged, key='other.key')}")
    seen = [(r.saml_event, r.saml_outcome, r.saml_reason, r.saml_subject, r.saml_message_id)
            for r in records() if r.saml_event != "login"]
    assert seen == [
        ("logout", "started", None, ALICE, None),
        ("logout", "success", None, None, seen[1][4]),
        ("logout", "refused", "unsolicited", None, seen[1][4]),
        ("idp_logout", "success", None, ALICE, first),
        ("idp_logout", "refused", "replay", ALICE, first),
        ("idp_logout", "refused", "invalid_signature", ALICE, second),
    ]
    after = audit.counts()
    # One logout, started and then confirmed: one success.
    assert after["logout"]["success"] - before["logout"]["success"] == 1
    assert after["logout"]["started"] - before["logout"]["started"] == 1
    assert after["idp_logout"]["refused"] - before["idp_logout"]["refused"] == 2


def test_a_failure_of_the_site_is_an_error_record_and_still_reaches_the_host(records):
    from tests.conftest import free_port
    from velmora.storage import make_memcache_client

    dead = make_memcache_client("127.0.0.1", free_port())
    config = test_settings.idp_config("idp1")
    app = sp_app.make_app(test_settings.auth_settings(("idp1", config)), ConfigStorage(sp_app.USERS, mc=dead))
    outcome = sp_app.login_outcome(app, saml_idp.build_response(ALICE))
    assert isinstance(outcome, Exception)
    [record] = records()
    assert (record.saml_outcome, record.saml_reason, record.levelno) == (
        "error", "replay_store_unavailable", logging.ERROR)


@pytest.mark.parametrize("value, shown", [
    ("alice\nSAML login success: idp=forged", "alice\\nSAML login success: idp=forged"),
    ("x" * 400, "x" * audit.SUBJECT_LIMIT + "..."),
    ("back\\slash", "back\\\\slash"),
    ("\u2028\x1b", "\\u2028\\x1b"),
    (None, None),
], ids=["line-break", "long", "backslash", "separator-and-escape", "none"])
def test_fields_are_one_bounded_line(value, shown):
    assert audit.clean(value, audit.SUBJECT_LIMIT) == shown


def record_of(**fields):
    """The record _emit makes of these fields (a refused login)."""
    made = []
    handler = logging.Handler()
    handler.emit = made.append
    audit.log.addHandler(handler)
    try:
        audit._emit(None, "login", "refused", "invalid_response", fields.get("idp"), fields.get("subject"),
                    fields.get("user"), fields.get("message_id"), fields.get("detail"))
    finally:
        audit.log.removeHandler(handler)
    [record] = made
    return record


def carried(record):
    """The line's fields as the record carries them."""
    return {name[5:]: getattr(record, name) for name in audit._LINE_FIELDS if getattr(record, name) is not None}


TEXTS = st.text(st.characters(), max_size=40) | st.sampled_from(['mallory\\" user=mallory', "a\nb", "a\\nb", "", " "])


@given(idp=TEXTS, subject=TEXTS, detail=TEXTS)
def test_a_logfmt_reader_gets_back_exactly_the_fields_of_the_record(idp, subject, detail):
    record = record_of(idp=idp, subject=subject, detail=detail)
    message = record.getMessage()
    assert "\n" not in message and "\r" not in message
    assert logfmt.facts(message) == carried(record)


@given(first=TEXTS, second=TEXTS)
def test_two_values_never_give_the_same_line(first, second):
    if first != second:
        assert record_of(subject=first).getMessage() != record_of(subject=second).getMessage()


# Forgeries an attacker can send in one request: (case, action, the field
# forged into, the value sent there).
FORGED_ID = 'mallory\\" user=mallory client=198.51.100.66 outcome=success'
BROKEN_LINE = "alice\nSAML login success: idp=idp1 user=admin"
FORGERIES = [
    ("IdP id in the login URL", lambda app: app.get("/sso/saml/" + urllib.parse.quote(FORGED_ID, safe="")),
     "idp", FORGED_ID),
    ("NameID of an unsigned response", post("idp1", FORGED_ID, sign=None), "subject", FORGED_ID),
    ("Response ID of an unsigned response", post("idp1", sign=None, response_id=FORGED_ID), "message_id",
     FORGED_ID),
    ("NameID holding a line break", post("idp1", BROKEN_LINE, sign=None), "subject", BROKEN_LINE),
    ("NameID holding backslash n", post("idp1", BROKEN_LINE.replace("\n", "\\n"), sign=None), "subject",
     BROKEN_LINE.replace("\n", "\\n")),
]


@pytest.mark.parametrize("action, field, sent", [f[1:] for f in FORGERIES], ids=[f[0] for f in FORGERIES])
def test_what_a_client_sends_forges_no_field(app, records, action, field, sent):
    action(app)
    [record] = records()
    read = logfmt.facts(record.getMessage())
    assert read == carried(record)
    assert read[field] == audit.clean(sent, audit.SUBJECT_LIMIT) and "user" not in read
    assert read["client"] == CLIENT and record.saml_outcome != "success"


def test_a_subject_cannot_forge_facts_on_the_line(app, records):
    post("idp1", 'mallory" user="u-alice')(app)
    [record] = records()
    assert record.saml_subject == 'mallory" user="u-alice'
    assert 'subject="mallory\\" user=\\"u-alice"' in record.getMessage()
    assert ' user="u-alice"' not in record.getMessage()
