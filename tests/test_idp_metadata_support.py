"""The test IdP's metadata documents, their forgeries and the server that
publishes them: each forgery must be refused for the reason it stands for
(a broken forgery would let a test of the refusal pass for nothing)."""

import http.client
import os
import pathlib
import shutil
import subprocess
import threading
import time
import urllib.error

import pytest
from cryptography import x509
from onelogin.saml2.auth import OneLogin_Saml2_Auth
from onelogin.saml2.idp_metadata_parser import OneLogin_Saml2_IdPMetadataParser
from onelogin.saml2.utils import OneLogin_Saml2_Utils
from pyramid.request import Request

import velmora_saml.saml as saml
from tests.support import idp_metadata as md
from tests.support import saml_idp
from tests.support.settings import (

    DATA, IDP_ENTITY_ID, IDP_SSO_URL, SP_HOST, cert_body, cert_fingerprint, idp_config, read, toolkit_settings,
)

# Exercises the demo/test tooling and third-party programs only: left out of the
# second interpreter's pass.
pytestmark = pytest.mark.demo

Parser = OneLogin_Saml2_IdPMetadataParser
SIGNER = read("metadata_signer.crt")
OLD, NEW = cert_body("idp.crt"), cert_body("idp_next.crt")


def verified_by_toolkit(document, **key):
    """The toolkit's own verdict on the root signature: True or the error text."""
    try:
        return OneLogin_Saml2_Utils.validate_metadata_sign(document, raise_exceptions=True, **(key or {"cert": SIGNER}))
    except Exception as exc:  # its errors, whatever their class
        return str(exc)


def verified_by_xmlsec1(document, tmp_path, cert="metadata_signer.crt"):
    binary = shutil.which("xmlsec1")
    if binary is None:
        if os.environ.get("CI"):
            pytest.fail("xmlsec1 is not installed (scripts/common.sh installs it)")
        pytest.skip("xmlsec1 is not installed")
    path = tmp_path / "metadata.xml"
    path.write_bytes(document)
    result = subprocess.run(
        [binary, "--verify", "--pubkey-cert-pem", str(DATA / cert),
         "--id-attr:ID", "urn:oasis:names:tc:SAML:2.0:metadata:EntityDescriptor", str(path)],
        capture_output=True, timeout=30,
    )
    return result.returncode == 0


def published_certs(document):
    idp = Parser.parse(document)["idp"]
    if "x509certMulti" in idp:
        return idp["x509certMulti"]["signing"]
    return [idp["x509cert"]] if "x509cert" in idp else []


def transform_algorithms(document):
    root = md.etree.fromstring(document)
    return [t.get("Algorithm") for t in root.iterfind(".//ds:Transform", md.NSMAP)]


class TestDocuments:
    def test_default_document_is_what_the_toolkit_reads_as_before(self):
        idp = Parser.parse(md.idp_metadata_xml())["idp"]
        assert idp["entityId"] == IDP_ENTITY_ID
        assert idp["singleSignOnService"]["url"] == IDP_SSO_URL
        assert idp["x509cert"] == OLD

    def test_certificates_are_published_in_order_and_can_be_left_out(self):
        assert published_certs(md.idp_metadata_xml(certs=["idp.crt", "idp_next.crt"])) == [OLD, NEW]
        assert published_certs(md.idp_metadata_xml(certs=["idp_next.crt", "idp.crt"])) == [NEW, OLD]
        assert published_certs(md.idp_metadata_xml(certs=[])) == []
        assert "singleSignOnService" not in Parser.parse(md.idp_metadata_xml(sso_url=None))["idp"]

    def test_certificate_use_is_what_the_toolkit_sorts_by(self):
        idp = Parser.parse(md.idp_metadata_xml(certs=["idp.crt", ("other.crt", "encryption")]))["idp"]
        assert idp["x509certMulti"] == {"signing": [OLD], "encryption": [cert_body("other.crt")]}

    def test_validity_attributes_on_the_root(self):
        before = OneLogin_Saml2_Utils.now()
        root = md.etree.fromstring(md.idp_metadata_xml(valid_until=60, cache_duration=30))
        until = OneLogin_Saml2_Utils.parse_SAML_to_time(root.get("validUntil"))
        assert before + 59 <= until <= OneLogin_Saml2_Utils.now() + 61
        assert root.get("cacheDuration") == "PT30S"
        root = md.etree.fromstring(md.idp_metadata_xml(valid_until="2030-01-01T00:00:00Z", cache_duration="P1D"))
        assert (root.get("validUntil"), root.get("cacheDuration")) == ("2030-01-01T00:00:00Z", "P1D")
        assert md.etree.fromstring(md.idp_metadata_xml()).get("validUntil") is None

    def test_every_document_gets_an_id_of_its_own(self):
        first, second = (md.etree.fromstring(md.idp_metadata_xml()).get("ID") for _ in range(2))
        assert first and second and first != second


class TestRolloverKeys:
    def test_old_new_signer_and_other_are_four_different_keys(self):
        bodies = {name: cert_body(f"{name}.crt") for name in ("idp", "idp_next", "metadata_signer", "other")}
        assert len(set(bodies.values())) == 4
        keys = {read(f"{name}.key") for name in bodies}
        assert len(keys) == 4

    def test_a_response_signed_with_one_key_verifies_only_with_its_certificate(self):
        for key, good, bad in ((md.OLD_KEY, "idp.crt", "idp_next.crt"), (md.NEW_KEY, "idp_next.crt", "idp.crt")):
            document = saml_idp.decode(saml_idp.build_response(sign="response", key=f"{key}.key", cert=f"{key}.crt"))
            assert OneLogin_Saml2_Utils.validate_sign(document, read(good), raise_exceptions=False) is True
            assert OneLogin_Saml2_Utils.validate_sign(document, read(bad), raise_exceptions=False) is False

    def test_key_pair_made_for_the_run_expires_when_asked(self, tmp_path, metadata_server):
        name = md.make_key_pair(tmp_path, days=10)
        not_after = x509.load_pem_x509_certificate(pathlib.Path(name + ".crt").read_bytes()).not_valid_after_utc
        assert 9.9 * 86400 < not_after.timestamp() - time.time() <= 10 * 86400
        idp = md.PublishedIdP(metadata_server, keys=(name,))
        assert fetch(idp.url)[0]["idp"]["x509cert"] == cert_body(name + ".crt")
        document = saml_idp.decode(idp.response(sign="response"))
        assert OneLogin_Saml2_Utils.validate_sign(document, read(name + ".crt"), raise_exceptions=False) is True

    def test_fingerprint_is_the_sha256_of_the_certificate(self):
        expected = subprocess.run(
            ["openssl", "x509", "-in", str(DATA / "metadata_signer.crt"), "-noout", "-fingerprint", "-sha256"],
            capture_output=True, text=True, check=True,
        ).stdout.strip().split("=", 1)[1]
        assert cert_fingerprint("metadata_signer.crt") == expected
        assert cert_fingerprint("metadata_signer.crt", separator="") == expected.replace(":", "")


class TestSignedMetadata:
    def test_signature_over_the_root_verifies_with_the_signer_only(self, tmp_path):
        signed = md.sign_metadata(md.idp_metadata_xml(certs=["idp.crt", "idp_next.crt"]))
        root = md.etree.fromstring(signed)
        signature = root[0]
        assert signature.tag == f"{{{md.NS_DS}}}Signature"
        reference = signature.find("ds:SignedInfo/ds:Reference", md.NSMAP)
        assert reference.get("URI") == "#" + root.get("ID")
        assert verified_by_toolkit(signed) is True
        assert verified_by_xmlsec1(signed, tmp_path)
        fingerprint = OneLogin_Saml2_Utils.format_finger_print(cert_fingerprint("metadata_signer.crt"))
        assert verified_by_toolkit(signed, fingerprint=fingerprint, fingerprintalg="sha256") is True
        assert verified_by_toolkit(signed, cert=read("idp.crt")) is not True
        assert not verified_by_xmlsec1(signed, tmp_path, cert="idp.crt")
        # Signing takes nothing away from what the toolkit reads.
        assert published_certs(signed) == [OLD, NEW]

    def test_signature_over_the_whole_document(self):
        signed = md.sign_metadata(md.idp_metadata_xml(), reference_uri="")
        assert md.etree.fromstring(signed)[0].find("ds:SignedInfo/ds:Reference", md.NSMAP).get("URI") == ""
        assert verified_by_toolkit(signed) is True

    def test_unsigned_document_has_no_signature(self):
        document = md.idp_metadata_xml()
        assert b"Signature" not in document
        assert "No signature nodes found" in verified_by_toolkit(document)

    def test_wrongly_signed_is_a_sound_signature_by_another_key(self, tmp_path):
        wrong = md.sign_metadata(md.idp_metadata_xml(), "other.key", "other.crt")
        assert verified_by_toolkit(wrong, cert=read("other.crt")) is True
        assert "Signature is invalid" in verified_by_toolkit(wrong)
        assert not verified_by_xmlsec1(wrong, tmp_path)

    def test_certificate_swapped_after_signing_breaks_the_signature(self, tmp_path):
        signed = md.sign_metadata(md.idp_metadata_xml(certs=["idp.crt", "idp_next.crt"]))
        tampered = md.swap_certificate(signed, "idp_next.crt", "other.crt")
        assert published_certs(tampered) == [OLD, cert_body("other.crt")]
        assert "Signature is invalid" in verified_by_toolkit(tampered)
        assert not verified_by_xmlsec1(tampered, tmp_path)
        with pytest.raises(ValueError, match="does not publish"):
            md.swap_certificate(signed, "sp.crt", "other.crt")


class TestSignaturesTheToolkitAccepts:
    """Forgeries and algorithms that pass the toolkit's own metadata check:
    whoever verifies metadata has to refuse them itself."""

    def test_sound_signature_made_with_a_transform_outside_the_allow_list(self, tmp_path):
        signed = md.sign_metadata(
            md.idp_metadata_xml(),
            transforms=(saml_idp.ENVELOPED, saml_idp.xpath_transform(), saml_idp.EXC_C14N),
        )
        algorithms = transform_algorithms(signed)
        assert saml_idp.XPATH in algorithms
        assert set(algorithms) - set(saml_idp.ALLOWED_ALGORITHMS) == {saml_idp.XPATH}
        assert verified_by_toolkit(signed) is True
        assert verified_by_xmlsec1(signed, tmp_path)

    def test_transform_injected_after_signing(self):
        signed = md.sign_metadata(md.idp_metadata_xml())
        bombed = md.inject_signature_transforms(signed, saml_idp.xslt_bomb(2))
        assert transform_algorithms(bombed)[-1] == saml_idp.XSLT
        assert "Signature is invalid" in verified_by_toolkit(bombed)
        replaced = md.inject_signature_transforms(signed, canonicalization=saml_idp.canonicalization_method(
            saml_idp.XSLT))
        method = md.etree.fromstring(replaced).find("ds:Signature/ds:SignedInfo/ds:CanonicalizationMethod", md.NSMAP)
        assert method.get("Algorithm") == saml_idp.XSLT
        with pytest.raises(ValueError, match="not signed"):
            md.inject_signature_transforms(md.idp_metadata_xml(), saml_idp.xslt_bomb(2))

    def test_sha1_signature(self):
        signed = md.sign_metadata(md.idp_metadata_xml(), signature_method=saml_idp.RSA_SHA1,
                                  digest_method=saml_idp.SHA1)
        signed_info = md.etree.fromstring(signed).find("ds:Signature/ds:SignedInfo", md.NSMAP)
        assert signed_info.find("ds:SignatureMethod", md.NSMAP).get("Algorithm") == saml_idp.RSA_SHA1
        assert signed_info.find("ds:Reference/ds:DigestMethod", md.NSMAP).get("Algorithm") == saml_idp.SHA1
        assert verified_by_toolkit(signed) is True

    def test_signature_over_the_descriptor_only_lets_a_descriptor_be_put_in_front(self):
        signed = md.sign_metadata(md.idp_metadata_xml(), over="descriptor")
        root = md.etree.fromstring(signed)
        assert root.find("ds:Signature", md.NSMAP) is None
        assert root.find("md:IDPSSODescriptor/ds:Signature", md.NSMAP) is not None
        assert verified_by_toolkit(signed) is True
        forged = md.prepend_descriptor(signed)
        assert verified_by_toolkit(forged) is True
        assert published_certs(forged) == [cert_body("other.crt")]

    def test_wrapped_signature_still_verifies_while_the_forged_root_is_read(self, tmp_path):
        genuine = md.sign_metadata(md.idp_metadata_xml())
        wrapped = md.wrap_signature(genuine, md.idp_metadata_xml(certs=["other.crt"]))
        root = md.etree.fromstring(wrapped)
        reference = root.find("ds:Signature/ds:SignedInfo/ds:Reference", md.NSMAP).get("URI")
        assert reference != "#" + root.get("ID")
        assert verified_by_toolkit(wrapped) is True
        assert verified_by_xmlsec1(wrapped, tmp_path)
        assert published_certs(wrapped) == [cert_body("other.crt")]
        with pytest.raises(ValueError, match="ID of its own"):
            md.wrap_signature(genuine, genuine)


def fetch(url, timeout=5):
    """What the plug-in's fetch gets: the toolkit's parse_remote, timed."""
    started = time.monotonic()
    try:
        outcome = Parser.parse_remote(url, timeout=timeout)
    except Exception as exc:  # the toolkit passes urllib's and its own errors on
        outcome = exc
    return outcome, time.monotonic() - started


class TestMetadataServer:
    def test_serves_the_document_of_the_moment_and_counts(self, metadata_server):
        server = metadata_server
        server.publish("/m.xml", md.idp_metadata_xml())
        assert fetch(server.url("/m.xml"))[0]["idp"]["x509cert"] == OLD
        server.publish("/m.xml", md.idp_metadata_xml(cert_file="idp_next.crt"))
        assert fetch(server.url("/m.xml"))[0]["idp"]["x509cert"] == NEW
        assert isinstance(fetch(server.url("/none.xml"))[0], urllib.error.HTTPError)
        assert server.hits == {"/m.xml": 2, "/none.xml": 1}
        assert [path for path, _ in server.requests] == ["/m.xml", "/m.xml", "/none.xml"]

    def test_queued_answers_come_first_one_per_request(self, metadata_server):
        server = metadata_server
        server.publish("/m.xml", md.idp_metadata_xml())
        server.queue("/m.xml", md.Status(503), md.Drop(), md.Delay(0.5))
        error, _ = fetch(server.url("/m.xml"))
        assert isinstance(error, urllib.error.HTTPError) and error.code == 503
        assert isinstance(fetch(server.url("/m.xml"))[0], http.client.RemoteDisconnected)
        settings, seconds = fetch(server.url("/m.xml"))
        assert settings["idp"]["x509cert"] == OLD and seconds >= 0.5
        settings, seconds = fetch(server.url("/m.xml"))
        assert settings["idp"]["x509cert"] == OLD and seconds < 0.5

    def test_a_behaviour_holds_until_removed_and_delays_still_work(self, metadata_server):
        server = metadata_server
        server.publish("/m.xml", md.idp_metadata_xml())
        server.behaviours["/m.xml"] = md.Status(500)
        server.queue("/m.xml", md.Status(404))
        codes = [fetch(server.url("/m.xml"))[0].code for _ in range(3)]
        assert codes == [404, 500, 500]
        del server.behaviours["/m.xml"]
        server.delays["/m.xml"] = 0.3
        assert fetch(server.url("/m.xml"))[1] >= 0.3

    def test_held_request_waits_for_release_and_gets_the_document_then(self, metadata_server):
        server = metadata_server
        server.publish("/m.xml", md.idp_metadata_xml())
        hold = md.Hold()
        server.queue("/m.xml", hold)
        results = []
        thread = threading.Thread(target=lambda: results.append(fetch(server.url("/m.xml"))[0]))
        thread.start()
        assert hold.arrived.wait(5)
        time.sleep(0.2)
        assert results == []
        server.publish("/m.xml", md.idp_metadata_xml(cert_file="idp_next.crt"))
        hold.release()
        thread.join(5)
        assert results[0]["idp"]["x509cert"] == NEW

    def test_close_lets_held_requests_go(self):
        server = md.MetadataServer()
        server.publish("/m.xml", md.idp_metadata_xml())
        server.behaviours["/m.xml"] = md.Hold()
        results = []
        thread = threading.Thread(target=lambda: results.append(fetch(server.url("/m.xml"))))
        thread.start()
        server.behaviours["/m.xml"].arrived.wait(5)
        server.close()
        thread.join(5)
        assert not thread.is_alive()

    def test_concurrent_requests_are_all_counted(self, metadata_server):
        server = metadata_server
        server.publish("/m.xml", md.idp_metadata_xml())
        threads = [threading.Thread(target=fetch, args=(server.url("/m.xml"),)) for _ in range(8)]
        for thread in threads:
            thread.start()
        assert server.wait_for_hits("/m.xml", 8) == 8
        for thread in threads:
            thread.join(5)
        with pytest.raises(AssertionError, match="requested 8 times, not 9"):
            server.wait_for_hits("/m.xml", 9, timeout=0.2)

    def test_dripping_answer_outlasts_the_per_read_timeout(self):
        server = md.DrippingServer(seconds=2)
        try:
            assert server.url.endswith("/metadata")
            # A byte a second: no read waits 1.5 s, the whole answer takes 2 s.
            error, seconds = fetch(server.url, timeout=1.5)
            assert isinstance(error, http.client.IncompleteRead) and seconds >= 1.9
        finally:
            server.close()


def toolkit_verdict(settings, response):
    """The toolkit's errors on a posted response (empty: accepted)."""
    request = {"https": "on", "http_host": SP_HOST, "script_name": "/saml/acs/idp1", "get_data": {},
               "post_data": {"SAMLResponse": response}}
    auth = OneLogin_Saml2_Auth(request, settings)
    auth.process_response()
    return auth.get_errors()


def metadata_only_settings(url="http://unused/"):
    settings = toolkit_settings("idp1")
    settings["idp"] = {"metadata": url}
    return settings


class TestPublishedIdP:
    def test_walks_a_rollover_step_by_step(self, published_idp, tmp_path):
        steps = []
        for keys, signing_key in (((md.OLD_KEY,), md.OLD_KEY), ((md.OLD_KEY, md.NEW_KEY), md.OLD_KEY),
                                  ((md.OLD_KEY, md.NEW_KEY), md.NEW_KEY), ((md.NEW_KEY,), md.NEW_KEY)):
            published_idp.publish(*keys)
            published_idp.sign_with(signing_key)
            served, _ = fetch(published_idp.url)
            settings = Parser.merge_settings(served, metadata_only_settings())
            assert verified_by_toolkit(published_idp.document) is True
            steps.append((len(md.signing_certificates(published_idp.document)),
                          toolkit_verdict(settings, published_idp.response())))
        assert steps == [(1, []), (2, []), (2, []), (1, [])]
        # After the last step a response signed with the withdrawn key is refused.
        published_idp.sign_with(md.OLD_KEY)
        settings = Parser.merge_settings(fetch(published_idp.url)[0], metadata_only_settings())
        assert toolkit_verdict(settings, published_idp.response()) == ["invalid_response"]

    def test_unsigned_publisher_and_document_without_serving(self, metadata_server):
        idp = md.PublishedIdP(metadata_server, "/plain.xml", signer=None, keys=(md.NEW_KEY,))
        assert b"Signature" not in idp.document
        assert fetch(idp.url)[0]["idp"]["x509cert"] == NEW
        draft = idp.metadata(md.OLD_KEY, valid_until=5)
        assert verified_by_toolkit(draft) is not True  # unsigned
        assert metadata_server.documents["/plain.xml"] == idp.document != draft


class TestPluginWithSeveralCertificates:
    """What the plug-in does today with metadata that publishes two signing
    certificates at its first load: both keys log in, a third does not."""

    @pytest.mark.parametrize("key, accepted", [(md.OLD_KEY, True), (md.NEW_KEY, True), ("other", False)])
    def test_both_published_keys_are_accepted(self, published_idp, key, accepted):
        published_idp.publish(md.OLD_KEY, md.NEW_KEY)
        published_idp.sign_with(key)
        response = published_idp.response()
        config = idp_config("idp1", settings=metadata_only_settings(published_idp.url))
        request = Request.blank("/saml/acs/idp1", POST={"SAMLResponse": response}, base_url=f"https://{SP_HOST}")
        request.headers["Host"] = SP_HOST
        idp = saml.SamlIDPConfig(config, request, users={})
        idp.saml_auth.process_response()
        assert (idp.saml_auth.get_errors() == []) is accepted
        assert "x509certMulti" in saml.SamlIDPConfig.cached_saml_settings["idp1"]["idp"]
