"""Mapping a validated SAML response to exactly one host user."""

import collections
import re

import pytest
from hypothesis import given, settings, strategies as st

import velmora_saml.saml as saml
from tests.support.idp_objects import make_idp
from velmora.configs import UserConfig


class FakeAuth:
    def __init__(self, attributes=None, nameid="alice@example.test", nameid_error=None):
        self.attributes = attributes if attributes is not None else {}
        self.nameid = nameid
        self.nameid_error = nameid_error

    def get_attributes(self):
        return self.attributes

    def get_nameid(self):
        if self.nameid_error is not None:
            raise self.nameid_error
        return self.nameid


class RecordingLog:
    def __init__(self):
        self.lines = []

    def __getattr__(self, level):
        return lambda *args: self.lines.append((level, *args))


@pytest.fixture
def log(monkeypatch):
    fake = RecordingLog()
    monkeypatch.setattr(saml, "log", fake)
    return fake


def users(*emails, attribute="email"):
    return {f"u{i}": UserConfig(f"user{i}", **{attribute: email}) for i, email in enumerate(emails, 1)}


def idp_for(users_map, attributes=None, nameid="alice@example.test", attribute="NameID", user_attribute="email",
            regex=None, **auth_options):
    config = {"idp_name": "idp-x", "saml_auth_attribute": attribute, "user_config_attribute": user_attribute,
              "saml_auth_regex": regex, "settings": {}}
    auth = FakeAuth(attributes, nameid, **auth_options)
    return make_idp(config=config, users=users_map, saml_auth=auth)


class TestGetUserId:
    def test_nameid_with_blanks(self, log):
        idp = idp_for(users("bob@example.test", "alice@example.test"), nameid="  alice@example.test\n")
        assert idp.get_user_id() == "u2"
        assert ("debug", "User Config to SAML matches %s", [("u2", "alice@example.test")]) in log.lines
        assert log.lines[-1] == ("debug", "Authenticated user %s using SAML value %s.", "u2", "alice@example.test")

    def test_nameid_added_to_the_attributes_in_place(self, log):
        attributes = {"NameID": ["overwritten"], "email": ["x"]}
        idp = idp_for(users("alice@example.test"), attributes=attributes)
        idp.get_user_id()
        assert attributes == {"NameID": "alice@example.test", "email": ["x"]}
        assert log.lines[0] == ("debug", attributes)

    def test_missing_nameid(self, log):
        # No NameID in the response: a clear refusal, not a failed strip().
        idp = idp_for(users("alice@example.test"), nameid=None)
        with pytest.raises(ValueError, match=r"^Missing values in SAML attribute NameID\.$"):
            idp.get_user_id()

    def test_mapped_through_a_multi_valued_attribute(self, log):
        idp = idp_for(users("a@x", "b@x"), attributes={"mail": [" b@x", "b@x ", "c@x"]}, attribute="mail")
        assert idp.get_user_id() == "u2"
        assert log.lines[-1] == ("debug", "Authenticated user %s using SAML value %s.", "u2", "b@x")
        assert ("debug", "User Config to SAML matches %s", [("u2", "b@x"), ("u2", "b@x")]) in log.lines

    def test_nameid_exception_passes(self):
        idp = idp_for(users("a@x"), nameid_error=LookupError("no"))
        with pytest.raises(LookupError):
            idp.get_user_id()


class TestMappedUserId:
    def call(self, idp, attributes):
        return idp._get_mapped_user_id(attributes)

    def test_log_lines_in_order(self, log):
        idp = idp_for(users("a@x"), attribute="mail")
        attributes = {"mail": ["a@x"]}
        assert self.call(idp, attributes) == "u1"
        assert log.lines == [
            ("debug", attributes),
            ("debug", "Comparing SAML attribute %s with User Config attribute %s", "mail", "email"),
            ("debug", "User Config to SAML matches %s", [("u1", "a@x")]),
            ("debug", "Authenticated user %s using SAML value %s.", "u1", "a@x"),
        ]

    def test_missing_attribute(self, log):
        idp = idp_for(users("a@x"), attribute="mail", user_attribute="not-allowed")
        with pytest.raises(ValueError, match=r"^Missing expected attribute in SAML response\.$"):
            self.call(idp, {"uid": ["a"], "cn": ["b"]})
        assert log.lines[1:] == [
            ("warning", "Missing expected attribute in SAML response."),
            ("debug", "Missing expected attribute %s in SAML response. Available: %s", "mail", "uid cn"),
        ]

    def test_user_config_attribute_not_allowed(self, log):
        idp = idp_for(users("a@x"), attribute="mail", user_attribute="password")
        with pytest.raises(ValueError, match=r"^Invalid user config attribute\.$"):
            self.call(idp, {"mail": ["a@x"]})
        assert log.lines[1:] == [
            ("warning", "Invalid user config attribute is used in the identity provider configuration."),
            ("debug", "Invalid user config attribute %s is used for identity provider %s", "password", "idp-x"),
        ]

    def test_allowed_keys_read_at_call_time(self, log, monkeypatch):
        class OtherUserConfig:
            allowed_sso_keys = ("username",)

        monkeypatch.setattr(saml, "UserConfig", OtherUserConfig)
        idp = idp_for(users("a@x"), attribute="mail")
        with pytest.raises(ValueError, match="Invalid user config attribute"):
            self.call(idp, {"mail": ["a@x"]})

    @pytest.mark.parametrize("regex", [None, "^nothing$"])
    def test_empty_values(self, regex, log):
        idp = idp_for(users("a@x"), attribute="mail", regex=regex)
        with pytest.raises(ValueError, match=r"^Missing values in SAML attribute mail\.$"):
            self.call(idp, {"mail": []})

    def test_regex_filters_by_prefix(self, log):
        idp = idp_for(users("ab-1", "zz"), attribute="mail", regex="ab")
        assert self.call(idp, {"mail": ["zz", "ab-1"]}) == "u1"

    def test_regex_prefix_match_keeps_the_whole_value(self):
        idp = idp_for({}, regex=r"a\d")
        assert idp.match_saml_regex(["a1-rest", "xa1", "a"]) == ["a1-rest"]

    def test_the_documented_domain_filter(self):
        """docs/configuration.md: a filter on whole values; capture groups change nothing."""
        values = ["alice@example.com", "alice@example.com.evil.test", "bob@partner.example"]
        assert idp_for({}, regex=r"[^@]+@example\.com$").match_saml_regex(values) == ["alice@example.com"]
        assert idp_for({}, regex=r"(.*)@example\.com").match_saml_regex(values) == values[:2]

    def test_without_regex_the_same_list(self):
        values = ["x"]
        assert idp_for({}, regex="").match_saml_regex(values) is values
        assert idp_for({}, regex=None).match_saml_regex(values) is values

    def test_regex_rejects_all(self, log):
        idp = idp_for(users("a@x"), attribute="mail", regex="^b")
        with pytest.raises(ValueError, match=r"^User not found for the SAML response\.$"):
            self.call(idp, {"mail": ["a@x"]})
        assert log.lines[-1] == ("warning", "User not found for the SAML response.")

    def test_invalid_regex_is_not_a_value_error(self):
        with pytest.raises(re.error):
            idp_for({}, regex="(").match_saml_regex(["x"])

    @pytest.mark.parametrize(
        "emails, values",
        [(("a@x", "b@x"), ["a@x", "b@x"]), (("a@x", "a@x"), ["a@x"])],
        ids=["two-values-two-users", "two-users-same-value"],
    )
    def test_more_than_one_user(self, emails, values, log):
        idp = idp_for(users(*emails), attribute="mail")
        with pytest.raises(ValueError, match=r"^More than one user found for the SAML response\.$"):
            self.call(idp, {"mail": values})
        assert not any(line[0] == "warning" for line in log.lines)

    def test_case_sensitive(self, log):
        idp = idp_for(users("Alice@X"), attribute="mail")
        with pytest.raises(ValueError, match="User not found"):
            self.call(idp, {"mail": ["alice@x"]})

    @pytest.mark.parametrize("blank", ["\u3000", "\xa0", "\x1c", "\x85", "\u2028", "\t\r\n\x0b\x0c"])
    def test_unicode_whitespace_stripped_as_str_strip(self, blank, log):
        idp = idp_for(users(f"{blank}a@x{blank}"), attribute="mail")
        assert self.call(idp, {"mail": [f"a@x{blank}"]}) == "u1"

    def test_non_text_user_value_fails_like_python(self, log):
        idp = idp_for({"u1": UserConfig("x", email=None)}, attribute="mail")
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'strip'"):
            self.call(idp, {"mail": ["a"]})

    def test_str_subclasses_use_their_own_strip(self, log):
        calls = []

        class Text(str):
            def strip(self):
                calls.append(str(self))
                return str(self).strip().lower()

        idp = idp_for({"u1": UserConfig("x", email=Text(" A ")), "u2": UserConfig("y", email="b")}, attribute="mail")
        assert self.call(idp, {"mail": [Text("a"), "zz"]}) == "u1"
        # As the rule written in Python does: each SAML value once to see it
        # is not blank, each user's value once, each SAML value once per user.
        assert calls == ["a", " A ", "a", "a"]

    @pytest.mark.parametrize("values", [[" "], ["\u3000", "\t\n"], [{"NameID": {"value": "a@x"}}], [b"a@x"], 12],
                             ids=["blank", "unicode-blanks", "name-id-mapping", "bytes", "number"])
    def test_no_text_no_value(self, values, log):
        idp = idp_for({"u-unset": UserConfig("x"), **users("a@x")}, attribute="mail")
        with pytest.raises(ValueError, match=r"^Missing values in SAML attribute mail\.$"):
            self.call(idp, {"mail": values})

    def test_text_values_among_others_still_count(self, log):
        idp = idp_for(users("a@x"), attribute="mail")
        assert self.call(idp, {"mail": [{"NameID": {"value": "b@x"}}, " ", "a@x"]}) == "u1"
        assert ("debug", "User Config to SAML matches %s", [("u1", "a@x")]) in log.lines

    def test_unset_host_attribute_never_matches(self, log, monkeypatch):
        # Even when a (replaced) filter hands over a blank value.
        monkeypatch.setattr(saml.SamlIDPConfig, "match_saml_regex", lambda self, values: [" "])
        idp = idp_for({"u-unset": UserConfig("x"), "u-blank": UserConfig("y", email=" \u3000")}, attribute="mail")
        with pytest.raises(ValueError, match=r"^User not found for the SAML response\.$"):
            self.call(idp, {"mail": ["a@x"]})

    def test_users_as_another_mapping(self, log):
        ordered = collections.OrderedDict(users("b", "a"))
        idp = idp_for(ordered, attribute="mail")
        assert self.call(idp, {"mail": ["a"]}) == "u2"

    def test_users_changed_while_compared(self, log):
        table = users("a", "b")

        class Grabby:
            @property
            def email(self):
                table.pop("u2", None)
                return "a"

        table["u1"] = Grabby()
        idp = idp_for(table, attribute="mail")
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            self.call(idp, {"mail": ["a"]})

    def test_iterator_from_patched_regex_filter_is_used_once(self, log, monkeypatch):
        # A filter returning a one-shot iterator: only the first user sees
        # the values, as with the nested loop.
        monkeypatch.setattr(saml.SamlIDPConfig, "match_saml_regex", lambda self, values: iter(values))
        idp = idp_for(users("b", "a"), attribute="mail")
        with pytest.raises(ValueError, match="User not found"):
            self.call(idp, {"mail": ["a"]})



class TestSsoUserId:
    @pytest.mark.parametrize("nameid", ["alice@example.test", None, 12])
    def test_returned_unchanged(self, nameid, log):
        assert idp_for({}, nameid=nameid).get_sso_user_id() == nameid
        assert log.lines == []

    def test_error_gives_empty_text(self, log):
        idp = idp_for({}, nameid_error=KeyError("NameID"))
        assert idp.get_sso_user_id() == ""
        assert log.lines == [(
            "warning",
            "The sso_user_id was not acquired from 'NameID' attribute in SAML response due to 'NameID'. "
            "Empty string is used instead.",
        )]

    def test_base_exceptions_pass(self):
        idp = idp_for({}, nameid_error=KeyboardInterrupt())
        with pytest.raises(KeyboardInterrupt):
            idp.get_sso_user_id()


# ---- get_user_id against a plain Python statement of the rule --------------------


def reference_mapping(attributes, attribute, user_attribute, regex, users_map):
    """The whole rule written out in Python: (result or error text, matches or None)."""
    if attribute not in attributes:
        return "Missing expected attribute in SAML response.", None
    if user_attribute not in UserConfig.allowed_sso_keys:
        return "Invalid user config attribute.", None
    saml_values = attributes[attribute]
    if saml_values is None:
        saml_values = []
    if not isinstance(saml_values, list):
        saml_values = [saml_values]
    # Only texts that are not blank are values.
    saml_values = [v for v in saml_values if isinstance(v, str) and v.strip()]
    if len(saml_values) == 0:
        return f"Missing values in SAML attribute {attribute}.", None
    if regex:
        pattern = re.compile(regex)
        saml_values = [v for v in saml_values if pattern.match(v)]
    matches = []
    for user_id, user_config in users_map.items():
        user_value = getattr(user_config, user_attribute).strip()
        if user_value == "":
            continue  # an unset attribute identifies nobody
        for saml_value in saml_values:
            saml_value = saml_value.strip()
            if saml_value == user_value:
                matches.append((user_id, saml_value))
    count = len({m[0] for m in matches})
    if count == 0:
        return "User not found for the SAML response.", matches
    if count > 1:
        return "More than one user found for the SAML response.", matches
    return matches[0][0], matches


texts = st.text(alphabet=st.sampled_from(list("ab é€\U0001d11e\t\n\x1c\x85\xa0\u2028\u3000\u200b")), max_size=6)
saml_value_lists = st.one_of(st.lists(texts, max_size=4), texts, st.none())
host_users = st.lists(st.tuples(texts, texts, texts), max_size=6)


@settings(max_examples=400)
@given(
    host_values=host_users,
    attributes=st.dictionaries(st.sampled_from(["mail", "uid", "NameID"]), saml_value_lists, max_size=3),
    nameid=st.one_of(texts, st.none()),
    attribute=st.sampled_from(["mail", "uid", "NameID", "absent"]),
    user_attribute=st.sampled_from(["email", "username", "sso_id", "password", "Email"]),
    regex=st.sampled_from([None, "", "a", " ", "[^b]", "a$", "(?i)A", r"\s", "é|€"]),
)
def test_get_user_id_agrees_with_the_rule(host_values, attributes, nameid, attribute, user_attribute, regex):
    users_map = {
        f"u{i}": UserConfig(username, email=email, sso_id=sso_id)
        for i, (email, username, sso_id) in enumerate(host_values)
    }
    for user_config in users_map.values():
        user_config.password = "not a key an IdP may map onto"
    # The NameID takes part as an attribute of that name, replacing one the response carried.
    expected, expected_matches = reference_mapping({**attributes, "NameID": nameid}, attribute, user_attribute,
                                                   regex, users_map)
    log = RecordingLog()
    original_log = saml.log
    saml.log = log
    try:
        idp = idp_for(users_map, dict(attributes), nameid, attribute=attribute, user_attribute=user_attribute,
                      regex=regex)
        try:
            result = idp.get_user_id()
        except ValueError as exc:
            result = str(exc)
    finally:
        saml.log = original_log
    assert result == expected
    if expected_matches is not None:
        assert ("debug", "User Config to SAML matches %s", expected_matches) in log.lines


OID_MAIL = "urn:oid:0.9.2342.19200300.100.1.3"


@pytest.mark.parametrize("attribute, outcome", [
    (OID_MAIL, "logged in"), ("mail", "refused: Missing expected attribute in SAML response.")])
def test_the_attribute_is_found_by_its_name_not_its_friendly_name(attribute, outcome):
    from tests.support import saml_idp, sp_app
    from tests.support.settings import auth_settings, idp_config
    from velmora.storage import ConfigStorage

    config = idp_config("idp1", saml_auth_attribute=attribute)
    app = sp_app.make_app(auth_settings(("idp1", config)), ConfigStorage(sp_app.USERS))
    response = saml_idp.build_response("nobody", attributes=[((OID_MAIL, "mail"), "alice@example.test")])
    assert sp_app.login_outcome(app, response) == outcome
