"""python3-saml with and without the plug-in's caches: the same verdicts and
texts on every good and broken message the suite can make, in one thread and
in several; a toolkit whose functions differ is left alone; the settings key
and the views that follow it."""

import concurrent.futures
import copy
import datetime
import logging
import urllib.parse

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID
from lxml import etree
from onelogin.saml2.auth import OneLogin_Saml2_Auth
from onelogin.saml2.settings import OneLogin_Saml2_Settings
from onelogin.saml2.utils import OneLogin_Saml2_Utils
from onelogin.saml2.xml_utils import OneLogin_Saml2_XML

import velmora_saml.toolkit_caches as toolkit_caches
from velmora_saml import status
from tests.support import saml_idp, saml_logout, sp_app
from tests.support import settings as ts
from velmora.storage import ConfigStorage

REPLACED = [(OneLogin_Saml2_XML, "validate_xml"), (OneLogin_Saml2_XML, "query"),
            (OneLogin_Saml2_Utils, "validate_node_sign"), (OneLogin_Saml2_Utils, "validate_binary_sign"),
            (OneLogin_Saml2_Utils, "parse_SAML_to_time")]


@pytest.fixture
def toolkit_as_it_was():
    """Each test starts from the toolkit's own functions and nothing kept;
    the state of the process is put back after."""
    was = toolkit_caches.installed()
    toolkit_caches.uninstall()
    toolkit_caches.forget()
    own = {key: key[0].__dict__[key[1]] for key in REPLACED}
    yield own
    toolkit_caches.uninstall()
    toolkit_caches.forget()
    for (owner, name), attribute in own.items():
        setattr(owner, name, attribute)
    if was:
        toolkit_caches.install()


# ---- the corpus -------------------------------------------------------------------


def settings_with(**changes):
    """The toolkit settings of idp1 with `changes` ("security.x" or "idp.x" keys)."""
    settings = ts.toolkit_settings()
    for path, value in changes.items():
        section, key = path.split(".")
        if value is None:
            settings[section].pop(key, None)
        else:
            settings[section][key] = value
    return settings


def elements_signed(*, signature_method=saml_idp.RSA_SHA256, digest_method=saml_idp.SHA256, extra=None, **built):
    """A response built and signed (Assertion and Response) by hand: other
    algorithms, or an element the schema does not know."""
    response = saml_idp.build_response_element(saml_idp.build_assertion(**built))
    if extra is not None:
        response.append(etree.fromstring(extra))
    assertion = response.find("saml:Assertion", saml_idp.NSMAP)
    for element in (assertion, response):
        saml_idp.sign_element(element, signature_method=signature_method, digest_method=digest_method)
    return saml_idp.encode(response)


def tampered():
    root = saml_idp.parse(saml_idp.build_response())
    root.find(".//saml:NameID", saml_idp.NSMAP).text = "mallory@example.test"
    return saml_idp.encode(root)


def later(seconds):
    return datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=seconds)


FINGERPRINT_ONLY = {"idp.x509cert": None, "idp.certFingerprint": ts.cert_fingerprint("idp.crt"),
                    "idp.certFingerprintAlgorithm": "sha256"}
BOTH_CERTS = {"idp.x509cert": None,
              "idp.x509certMulti": {"signing": [ts.cert_body("other.crt"), ts.cert_body("idp.crt")]}}
ENCRYPTED = {"security.wantAssertionsEncrypted": True}

# name -> (settings changes, a function making the posted value, logs in?)
CORPUS = {
    "good, both signed": ({}, lambda: saml_idp.build_response(sign="both"), True),
    "good, assertion signed": ({}, lambda: saml_idp.build_response(sign="assertion"), True),
    "good, response signed": ({}, lambda: saml_idp.build_response(sign="response"), True),
    "good, with attributes": ({}, lambda: saml_idp.build_response(
        attributes={"mail": ["alice@example.test"], "groups": ["a", "b"]}), True),
    "good, encrypted assertion": (ENCRYPTED, lambda: saml_idp.build_response(encrypt=True), True),
    "encrypted assertion, another SP's key": (ENCRYPTED, lambda: saml_idp.build_response(sign="response"), False),
    "good, SHA-1": ({}, lambda: elements_signed(signature_method=saml_idp.RSA_SHA1,
                                                digest_method=saml_idp.SHA1), True),
    "SHA-1 refused": ({"security.rejectDeprecatedAlgorithm": True},
                      lambda: elements_signed(signature_method=saml_idp.RSA_SHA1, digest_method=saml_idp.SHA1),
                      False),
    "good, fingerprint only": (FINGERPRINT_ONLY, lambda: saml_idp.build_response(), True),
    "other key, fingerprint only": (FINGERPRINT_ONLY,
                                    lambda: saml_idp.build_response(key="other.key", cert="other.crt"), False),
    "good, second of two certificates": (BOTH_CERTS, lambda: saml_idp.build_response(), True),
    "tampered": ({}, tampered, False),
    "other key": ({}, lambda: saml_idp.build_response(key="other.key", cert="other.crt"), False),
    "expired": ({}, lambda: saml_idp.build_response(valid_for=-600), False),
    "not yet valid": ({}, lambda: elements_signed(now=later(3600)), False),
    "wrong audience": ({}, lambda: saml_idp.build_response(audience="https://other.example/sp"), False),
    "wrong destination": ({}, lambda: saml_idp.build_response(destination="https://sp.example.test/other"), False),
    "wrong issuer": ({}, lambda: saml_idp.build_response(issuer="https://evil.example/idp"), False),
    "unsigned": ({}, lambda: saml_idp.build_response(sign=None), False),
    "only the response signed, assertion wanted": ({"security.wantAssertionsSigned": True},
                                                   lambda: saml_idp.build_response(sign="response"), False),
    "only the assertion signed, message wanted": ({"security.wantMessagesSigned": True},
                                                  lambda: saml_idp.build_response(sign="assertion"), False),
    "failed status": ({}, lambda: saml_idp.build_response(status="urn:oasis:names:tc:SAML:2.0:status:Responder"),
                      False),
    "schema-invalid": ({}, lambda: elements_signed(extra=f'<samlp:Bogus xmlns:samlp="{saml_idp.NS_SAMLP}"/>'),
                       False),
    "schema-invalid, debug on": ({"sp.debug": None}, lambda: elements_signed(
        extra=f'<samlp:Bogus xmlns:samlp="{saml_idp.NS_SAMLP}"/>'), False),
    "XSLT transform": ({}, lambda: saml_idp.inject_transforms(saml_idp.build_response(),
                                                             saml_idp.transform(saml_idp.XSLT)), False),
    "not XML": ({}, lambda: saml_idp.encode("<samlp:Response"), False),
    "not base64": ({}, lambda: "%%% not base64 %%%", False),
}


def verdict(settings, posted):
    """What the toolkit makes of a posted response: its answers or its exception."""
    data = {"https": "on", "http_host": ts.SP_HOST, "script_name": "/saml/acs/idp1", "get_data": {},
            "post_data": {"SAMLResponse": posted}}
    auth = OneLogin_Saml2_Auth(data, copy.deepcopy(settings))
    try:
        auth.process_response()
    except Exception as error:
        return ("raised", type(error).__name__, str(error))
    return ("processed", auth.get_errors(), auth.get_last_error_reason(), auth.is_authenticated(),
            auth.get_nameid(), auth.get_attributes(), auth.get_last_message_id(),
            auth.get_last_assertion_not_on_or_after())


@pytest.fixture(scope="module")
def corpus():
    """name -> (toolkit settings, posted value), each made once."""
    made = {}
    for name, (changes, make, _) in CORPUS.items():
        settings = settings_with(**{k: v for k, v in changes.items() if k != "sp.debug"})
        if "sp.debug" in changes:
            settings["debug"] = True
        made[name] = (settings, make())
    return made


def verdicts(corpus):
    return {name: verdict(settings, posted) for name, (settings, posted) in corpus.items()}


class TestEquivalence:
    def test_every_response_gets_the_same_verdict_and_text_with_and_without_the_caches(self, corpus,
                                                                                       toolkit_as_it_was, capsys):
        own = verdicts(corpus)
        assert toolkit_caches.install()
        cold = verdicts(corpus)  # compiling and keeping on the way
        warm = verdicts(corpus)  # from what was kept
        capsys.readouterr()  # the toolkit's debug output
        for name, (_, _, logs_in) in CORPUS.items():
            assert cold[name] == own[name], name
            assert warm[name] == own[name], name
            # The corpus means what it says: good ones log in, the rest do not.
            assert (own[name][0] == "processed" and own[name][3] is True) is logs_in, (name, own[name])

    def test_two_threads_validating_at_once_get_what_one_thread_gets(self, corpus, toolkit_as_it_was, capsys):
        assert toolkit_caches.install()
        alone = verdicts(corpus)
        names = list(corpus) * 4
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            together = list(pool.map(lambda name: verdict(*corpus[name]), names))
        capsys.readouterr()
        assert together == [alone[name] for name in names]

    def test_a_certificate_rolled_over_between_two_calls_is_the_one_used(self, toolkit_as_it_was):
        signed_by_next = saml_idp.build_response(key="idp_next.key", cert="idp_next.crt")
        signed_by_old = saml_idp.build_response()
        old, new = settings_with(), settings_with(**{"idp.x509cert": ts.cert_body("idp_next.crt")})
        calls = [(old, signed_by_next), (new, signed_by_next), (new, signed_by_old), (old, signed_by_old)]
        own = [verdict(*call) for call in calls]
        toolkit_caches.install()
        assert [verdict(*call) for call in calls] == own
        assert [v[3] for v in own] == [False, True, False, True]

    def test_logout_messages_and_metadata_get_the_same_answers(self, toolkit_as_it_was):
        def slo(query):
            data = {"https": "on", "http_host": ts.SP_HOST, "script_name": "/saml/sls/idp1",
                    "get_data": dict(urllib.parse.parse_qsl(query)), "post_data": {}}
            auth = OneLogin_Saml2_Auth(data, settings_with(**{"idp.singleLogoutService": {
                "url": "https://idp.example.test/slo", "binding": "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect"}}))
            url = auth.process_slo(keep_local_session=True)
            return auth.get_errors(), auth.get_last_error_reason(), url is not None

        message = saml_logout.logout_request(request_id="_lr1")
        queries = [saml_logout.redirect_query(message), saml_logout.redirect_query(message, key="other.key"),
                   saml_logout.redirect_query(message, sig_alg=saml_logout.RSA_SHA1),
                   saml_logout.with_field(saml_logout.redirect_query(message), "Signature", "AAAA")]
        settings = OneLogin_Saml2_Settings(settings_with())
        metadata = settings.get_sp_metadata()
        documents = [metadata, metadata.replace(b"</md:EntityDescriptor>", b"<md:Bogus/></md:EntityDescriptor>")]

        def answers():
            return [slo(q) for q in queries], [settings.validate_metadata(d) for d in documents]

        own = answers()
        toolkit_caches.install()
        assert answers() == own
        refused = ["invalid_logout_request_signature", "Signature validation failed. Logout Request rejected"]
        assert [errors for errors, _, _ in own[0]] == [[], refused, [], refused]  # SHA-1 is allowed by default
        assert own[1] == [[], ["invalid_xml"]]

    def test_a_login_through_the_site_ends_the_same(self, corpus, toolkit_as_it_was):
        """The plug-in's callback reads the document the toolkit checked
        instead of parsing it again: the outcomes are the same either way."""
        import velmora_saml.views as views

        def outcomes(caches):
            views.responses_tracker_mem.reset()
            result = {}
            for name, (settings, posted) in corpus.items():
                if settings.get("debug"):
                    continue
                auth = ts.auth_settings(("idp1", ts.idp_config("idp1", settings=copy.deepcopy(settings))))
                auth["authentication_policies"]["saml"]["toolkit_caches"] = caches
                from tests.conftest import start_over

                start_over()
                result[name] = sp_app.login_outcome(sp_app.make_app(auth, ConfigStorage(sp_app.USERS)), posted)
            assert toolkit_caches.installed() is caches
            return result

        without = outcomes(False)
        with_caches = outcomes(True)
        views.responses_tracker_mem.reset()
        assert with_caches == without
        assert without["good, both signed"] == "logged in"
        assert without["expired"].startswith("refused: ")

    @pytest.mark.parametrize("policy, built, outcome", [
        ({}, {}, "logged in"),
        ({}, {"encrypt": True}, "logged in"),
        ({"max_authn_age": 600}, {"authn_ago": 100}, "logged in"),
        ({"max_authn_age": 600}, {"authn_ago": 700}, "refused: Authentication is older than the request"),
        ({"max_authn_age": 600}, {"authn_ago": 700, "encrypt": True},
         "refused: Authentication is older than the request"),
    ], ids=["plain", "encrypted", "fresh", "stale", "stale, encrypted"])
    def test_a_login_reads_the_document_the_toolkit_checked_without_serialising_it(self, monkeypatch, policy,
                                                                                     built, outcome):
        """The time limits and the sign-in's age come from the toolkit's own
        (decrypted) document: nothing is serialised to be parsed again."""
        import velmora_saml.views as views

        serialised = []
        own = OneLogin_Saml2_Auth.get_last_response_xml
        monkeypatch.setattr(OneLogin_Saml2_Auth, "get_last_response_xml",
                            lambda self, *args: serialised.append(1) or own(self, *args))
        auth = ts.auth_settings(("idp1", ts.idp_config("idp1", **policy)))
        app = sp_app.make_app(auth, ConfigStorage(sp_app.USERS))
        got = sp_app.login_outcome(app, saml_idp.build_response(**built))
        views.responses_tracker_mem.reset()
        assert got == outcome
        if got == "logged in":
            assert serialised == []


# ---- the guard ----------------------------------------------------------------------


class TestLeftAlone:
    @pytest.mark.parametrize("owner, name", REPLACED, ids=[name for _, name in REPLACED])
    def test_a_replaced_function_leaves_the_toolkit_untouched(self, owner, name, toolkit_as_it_was, monkeypatch,
                                                              caplog, corpus):
        own = toolkit_as_it_was[(owner, name)]
        calls = []

        def wrapper(*args, **kwargs):
            calls.append(name)
            return own.__func__(*args, **kwargs)

        monkeypatch.setattr(owner, name, staticmethod(wrapper))
        monkeypatch.setattr(toolkit_caches, "_refusal_logged", False)
        before = {key: key[0].__dict__[key[1]] for key in REPLACED}
        good = corpus["good, both signed"]
        with caplog.at_level(logging.WARNING, logger="velmora_saml.toolkit_caches"):
            assert toolkit_caches.install() is False
            assert toolkit_caches.install() is False
        assert [r.getMessage() for r in caplog.records] == [
            f"python3-saml runs without the plug-in's caches: {owner.__name__}.{name} is not the toolkit's own"]
        assert {key: key[0].__dict__[key[1]] for key in REPLACED} == before
        assert not toolkit_caches.installed()
        # The status view says so too, until the key takes them out.
        assert status.toolkit_caches_status() == {
            "on": False, "left_alone": f"{owner.__name__}.{name} is not the toolkit's own"}
        assert "<td>off: " in status.status_page({"site": {
            "pid": 1, "started_at": "", "now": "", "saml_enabled": True, "identity_providers": [],
            "replay_store": {"kind": "mapping", "memcache": False}, "toolkit_caches": status.toolkit_caches_status()},
            "identity_providers": []})
        toolkit_caches.uninstall()
        assert status.toolkit_caches_status() == {"on": False, "left_alone": None}
        assert verdict(*good)[3] is True  # the toolkit works as before, through the test's function
        if name != "validate_binary_sign":  # a login verifies no redirect signature
            assert name in calls

    def test_another_toolkit_version_is_left_alone(self, toolkit_as_it_was, monkeypatch, caplog):
        monkeypatch.setattr(toolkit_caches.importlib.metadata, "version", lambda name: "1.17.0")
        monkeypatch.setattr(toolkit_caches, "_refusal_logged", False)
        with caplog.at_level(logging.WARNING, logger="velmora_saml.toolkit_caches"):
            assert toolkit_caches.install() is False
        assert "version 1.17.0 is not the one its caches were made for (1.16.x)" in caplog.text
        assert {key: key[0].__dict__[key[1]] for key in REPLACED} == toolkit_as_it_was

    def test_expressions_made_of_data_are_kept_only_up_to_the_bound(self, toolkit_as_it_was):
        toolkit_caches.install()
        root = etree.fromstring(b'<md:EntitiesDescriptor xmlns:md="urn:oasis:names:tc:SAML:2.0:metadata">'
                                b'<md:EntityDescriptor entityID="e7"/></md:EntitiesDescriptor>')
        found = [len(OneLogin_Saml2_XML.query(root, f"//md:EntityDescriptor[@entityID='e{i}']"))
                 for i in range(toolkit_caches.XPATHS_KEPT + 100)]
        assert found == [1 if i == 7 else 0 for i in range(toolkit_caches.XPATHS_KEPT + 100)]
        assert len(toolkit_caches._xpaths.__dict__) == toolkit_caches.XPATHS_KEPT

    def test_taken_out_the_toolkits_own_functions_are_back(self, toolkit_as_it_was):
        assert toolkit_caches.install()
        assert all(key[0].__dict__[key[1]] is not own for key, own in toolkit_as_it_was.items())
        assert toolkit_caches.mismatch() is None  # judged by the functions put aside
        toolkit_caches.uninstall()
        assert {key: key[0].__dict__[key[1]] for key in REPLACED} == toolkit_as_it_was


# ---- the keys made from certificates -------------------------------------------------


def generated_cert(private_key):
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "generated")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(private_key.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(now)
            .not_valid_after(now + datetime.timedelta(days=1)).sign(private_key, hashes.SHA256()))
    return cert.public_bytes(serialization.Encoding.PEM).decode()


def spki_pem(cert_pem):
    return x509.load_pem_x509_certificate(cert_pem.encode()).public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo).decode()


class TestPublicKeys:
    @pytest.mark.parametrize("source", ["idp.crt", "idp_next.crt", "other.crt", "sp.crt", "metadata_signer.crt",
                                        "rsa-3072", "ec-p256", "ec-p384"])
    def test_the_public_key_read_from_a_certificate_is_the_certificates(self, source):
        if source.endswith(".crt"):
            cert = ts.read(source)
        elif source.startswith("rsa"):
            cert = generated_cert(rsa.generate_private_key(public_exponent=65537, key_size=3072))
        else:
            cert = generated_cert(ec.generate_private_key(ec.SECP256R1() if source == "ec-p256" else ec.SECP384R1()))
        assert toolkit_caches._public_key_pem(cert) == spki_pem(cert)
        assert toolkit_caches._public_key_pem(OneLogin_Saml2_Utils.format_cert(ts.cert_body("idp.crt"))) \
            == spki_pem(ts.read("idp.crt"))

    @pytest.mark.parametrize("cert", [
        "", "no certificate here", ts.read("idp.crt") + ts.read("other.crt"),
        "-----BEGIN CERTIFICATE-----\n%%%%\n-----END CERTIFICATE-----\n",
        "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n",
        "-----BEGIN CERTIFICATE-----\nAgEF\n-----END CERTIFICATE-----\n",
        ts.read("idp.crt").replace("-----END CERTIFICATE-----", ""),
    ], ids=["empty", "text", "two certificates", "not base64", "truncated", "not a sequence", "no end line"])
    def test_anything_but_one_certificate_gives_no_public_key(self, cert):
        assert toolkit_caches._public_key_pem(cert) is None

    def test_a_certificate_the_toolkit_cannot_load_fails_as_it_does(self, toolkit_as_it_was):
        bad = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n"
        with pytest.raises(Exception) as own:
            OneLogin_Saml2_Utils.validate_node_sign(None, None, bad, raise_exceptions=True)
        toolkit_caches.install()
        with pytest.raises(Exception) as cached:
            OneLogin_Saml2_Utils.validate_node_sign(None, None, bad, raise_exceptions=True)
        assert (type(cached.value), str(cached.value)) == (type(own.value), str(own.value))


# ---- the key in the settings -----------------------------------------------------------


class TestSetting:
    @pytest.mark.parametrize("value, wanted", [
        ("absent", True), (None, True), (True, True), (False, False),
        ("false", ValueError), (0, ValueError), (1, ValueError), ("yes", ValueError), ([], ValueError),
        ({}, ValueError)])
    def test_true_false_or_absent_and_anything_else_refused_by_name(self, value, wanted):
        saml_settings = {} if value == "absent" else {"toolkit_caches": value}
        if wanted is ValueError:
            with pytest.raises(ValueError) as refused:
                toolkit_caches.setting(saml_settings)
            assert str(refused.value) == \
                f'Invalid SAML configuration: "toolkit_caches" must be true or false, not {value!r}'
        else:
            assert toolkit_caches.setting(saml_settings) is wanted

    def test_the_views_follow_the_key_as_it_changes(self, toolkit_as_it_was, caplog):
        import velmora_saml.views as views

        auth = ts.auth_settings(("idp1", ts.idp_config("idp1")))
        saml_settings = auth["authentication_policies"]["saml"]
        app = sp_app.make_app(auth, ConfigStorage(sp_app.USERS))
        assert toolkit_caches.installed()  # the site's start put them in
        states = []
        for value in (False, True, None, False, "yes"):
            if value is None:
                saml_settings.pop("toolkit_caches", None)
            else:
                saml_settings["toolkit_caches"] = value
            with caplog.at_level(logging.ERROR, logger="velmora_saml.toolkit_caches"):
                outcome = sp_app.login_outcome(app, saml_idp.build_response())
            states.append((outcome, toolkit_caches.installed()))
        views.responses_tracker_mem.reset()
        # A wrong value changes nothing (the caches stay out) and is said once.
        assert states == [("logged in", False), ("logged in", True), ("logged in", True), ("logged in", False),
                          ("logged in", False)]
        assert 'Invalid SAML configuration: "toolkit_caches" must be true or false' in caplog.text

    def test_a_wrong_value_stops_the_site_from_starting(self, toolkit_as_it_was):
        from pyramid.exceptions import ConfigurationError

        auth = ts.auth_settings(("idp1", ts.idp_config("idp1")))
        auth["authentication_policies"]["saml"]["toolkit_caches"] = "off"
        with pytest.raises(ConfigurationError, match='"toolkit_caches" must be true or false, not \'off\''):
            sp_app.make_app(auth, ConfigStorage(sp_app.USERS))
