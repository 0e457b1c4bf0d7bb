"""Signed IdP metadata (`metadata_signing_cert`, `metadata_signing_fingerprint`),
served by a real HTTP server on 127.0.0.1: a document signed over its root by
the configured key is used; unsigned, wrongly signed, tampered and otherwise
forged documents are never merged, at the first load (the IdP then works from
its local settings only) or at a refresh (the last good settings stay)."""

import time

import pytest

import velmora_saml.idp_metadata as idp_metadata
import velmora_saml.saml as saml
from tests.support import idp_metadata as md
from tests.support import saml_idp
from tests.support.metadata_helpers import (  # noqa: F401 (lines is a fixture)
    assemble, cached, login, login_app, remote_config, signing_certs, wait_for_failures,
    wait_for_refreshes, lines,
)
from tests.support.settings import (
    DATA, IDP_ENTITY_ID, auth_settings, cert_body, cert_fingerprint, read, toolkit_settings,
)

OLD, NEW, OTHER = cert_body("idp.crt"), cert_body("idp_next.crt"), cert_body("other.crt")
SIGNER_PEM = read("metadata_signer.crt")
PATH = "/signed.xml"
status = idp_metadata.metadata_status


def signed(*certs, **signing):
    return md.sign_metadata(md.idp_metadata_xml(certs=list(certs) or ["idp.crt"]), **signing)


SIGNING_KEYS = {
    "cert-pem-text": {"metadata_signing_cert": SIGNER_PEM},
    "cert-path": {"metadata_signing_cert": str(DATA / "metadata_signer.crt")},
    "fingerprint-colons": {"metadata_signing_fingerprint": cert_fingerprint("metadata_signer.crt")},
    "fingerprint-plain-lower": {"metadata_signing_fingerprint":
                                cert_fingerprint("metadata_signer.crt", separator="").lower()},
}


def forgeries():
    """(id, document, the words the error line must hold)."""
    good = signed("idp.crt", "idp_next.crt")
    return [
        ("unsigned", md.idp_metadata_xml(certs=["other.crt"]), "no signature over its root"),
        ("other-signer", md.sign_metadata(md.idp_metadata_xml(certs=["other.crt"]), "other.key", "other.crt"),
         "signature is invalid"),
        ("certificate-swapped", md.swap_certificate(good, "idp_next.crt", "other.crt"), "signature is invalid"),
        ("xpath-transform", signed("other.crt", transforms=(saml_idp.ENVELOPED, saml_idp.xpath_transform(),
                                                            saml_idp.EXC_C14N)), "outside the allow-list"),
        ("xslt-injected", md.inject_signature_transforms(signed("other.crt"), saml_idp.xslt_bomb(2)),
         "outside the allow-list"),
        ("xslt-canonicalization", md.inject_signature_transforms(
            signed("other.crt"), canonicalization=saml_idp.canonicalization_method(saml_idp.XSLT)),
         "outside the allow-list"),
        ("sha1", signed("other.crt", signature_method=saml_idp.RSA_SHA1, digest_method=saml_idp.SHA1),
         "rsa-sha1, which is not accepted"),
        ("descriptor-signed-only", md.prepend_descriptor(md.sign_metadata(md.idp_metadata_xml(), over="descriptor")),
         "no signature over its root"),
        ("signature-wrapping", md.wrap_signature(signed("idp.crt"), md.idp_metadata_xml(certs=["other.crt"])),
         "does not cover its root"),
        # The attacker's entity, same entity ID, first in document order.
        ("entity-in-signature-object", md.hide_in_signature(
            signed_aggregate(md.idp_metadata_xml(), md.sp_entity_xml()), md.idp_metadata_xml(certs=["other.crt"])),
         "signature holds more than SignedInfo, SignatureValue and KeyInfo"),
    ]


def signed_aggregate(*documents):
    return md.sign_metadata(md.aggregate(*documents))


FORGERIES = forgeries()
REFRESH_FORGERIES = FORGERIES[:4] + FORGERIES[-1:]
OTHER_IDP = "https://other-idp.example.test/metadata"


class TestAccepted:
    @pytest.mark.parametrize("keys", SIGNING_KEYS.values(), ids=SIGNING_KEYS.keys())
    def test_signed_by_the_configured_key_is_merged(self, metadata_server, keys):
        metadata_server.publish(PATH, signed("idp.crt", "idp_next.crt"))
        settings = assemble(remote_config(metadata_server.url(PATH), **keys))
        assert signing_certs(settings) == [OLD, NEW]
        record = status("idp1")
        assert record["signature"] == "verified" and record["signed_by"] == next(iter(keys))
        assert record["certificates"] == [OLD, NEW]

    def test_signature_over_the_whole_document_and_other_allowed_algorithms(self, metadata_server):
        config = remote_config(metadata_server.url(PATH), metadata_signing_cert=SIGNER_PEM)
        for signing in ({"reference_uri": ""}, {"canonicalization": saml_idp.C14N11},
                        {"transforms": (saml_idp.ENVELOPED, saml_idp.C14N_COMMENTS)}):
            saml.SamlIDPConfig.cached_saml_settings.clear()
            metadata_server.publish(PATH, signed("idp_next.crt", **signing))
            assert signing_certs(assemble(config)) == [NEW], signing

    def test_a_signed_local_file_is_checked_too(self, tmp_path):
        path = tmp_path / "idp.xml"
        path.write_bytes(signed("idp_next.crt"))
        assert signing_certs(assemble(remote_config(str(path), metadata_signing_cert=SIGNER_PEM))) == [NEW]
        saml.SamlIDPConfig.cached_saml_settings.clear()
        path.write_bytes(md.swap_certificate(signed("idp_next.crt"), "idp_next.crt", "other.crt"))
        assert signing_certs(assemble(remote_config(str(path), metadata_signing_cert=SIGNER_PEM))) == []

    def test_a_login_with_a_signed_document(self, published_idp):
        app = login_app(remote_config(published_idp.url, metadata_signing_cert=SIGNER_PEM))
        assert login(app, published_idp) == "logged in"
        assert login(app, published_idp, "other") != "logged in"


class TestRefusedAtTheFirstLoad:
    @pytest.mark.parametrize("document, reason", [f[1:] for f in FORGERIES], ids=[f[0] for f in FORGERIES])
    def test_forged_document_is_never_merged(self, metadata_server, lines, document, reason):
        metadata_server.publish(PATH, document)
        config = remote_config(metadata_server.url(PATH), metadata_signing_cert=SIGNER_PEM)
        settings = assemble(config)
        assert settings is config["settings"] and signing_certs(settings) == []
        (line,) = lines.matching("Failed to load metadata for idp1 because of ")
        assert reason in line and line.endswith("Using local settings only.")
        assert status("idp1")["signature"] != "verified"

    def test_the_idp_then_works_from_its_local_settings(self, published_idp, lines):
        published_idp.server.publish(published_idp.path, md.swap_certificate(
            published_idp.publish(md.OLD_KEY, md.NEW_KEY), "idp_next.crt", "other.crt"))
        local_idp = {key: value for key, value in toolkit_settings()["idp"].items()}
        config = remote_config(published_idp.url, local_idp=local_idp, metadata_signing_cert=SIGNER_PEM)
        app = login_app(config)
        assert login(app, published_idp) == "logged in"  # the local certificate: the old key
        assert login(app, published_idp, "other") != "logged in"
        assert cached() is config["settings"] and lines.matching("Failed to load metadata for idp1")

    def test_an_xslt_bomb_in_the_signature_is_not_run(self, metadata_server):
        metadata_server.publish(PATH, md.inject_signature_transforms(signed("other.crt"), saml_idp.xslt_bomb(26)))
        started = time.monotonic()
        assemble(remote_config(metadata_server.url(PATH), metadata_signing_cert=SIGNER_PEM))
        assert time.monotonic() - started < 2  # 2^26 nodes would take minutes and gigabytes

    def test_a_fingerprint_of_another_certificate_refuses_the_document(self, metadata_server, lines):
        metadata_server.publish(PATH, signed("idp.crt"))
        config = remote_config(metadata_server.url(PATH), metadata_signing_fingerprint=cert_fingerprint("other.crt"))
        assert signing_certs(assemble(config)) == []
        (line,) = lines.matching("Failed to load metadata for idp1")
        assert "not signed by the certificate with SHA-256 fingerprint" in line

    def test_an_unreadable_signing_certificate_refuses_the_document(self, metadata_server, lines, tmp_path):
        metadata_server.publish(PATH, signed("idp.crt"))
        missing = tmp_path / "missing.crt"
        assert signing_certs(assemble(remote_config(metadata_server.url(PATH),
                                                    metadata_signing_cert=str(missing)))) == []
        (line,) = lines.matching("Failed to load metadata for idp1")
        assert f"metadata_signing_cert: cannot read {missing}" in line


class TestRefusedAtARefresh:
    @pytest.mark.parametrize("document, reason", [f[1:] for f in REFRESH_FORGERIES],
                             ids=[f[0] for f in REFRESH_FORGERIES])
    def test_the_last_good_settings_stay(self, metadata_server, lines, document, reason):
        metadata_server.publish(PATH, signed("idp.crt", "idp_next.crt"))
        config = remote_config(metadata_server.url(PATH), metadata_signing_cert=SIGNER_PEM,
                               metadata_refresh_interval=1)
        first = assemble(config)
        metadata_server.publish(PATH, document)
        wait_for_failures(status, "idp1", 1)  # on the schedule
        assert cached() is first and signing_certs(first) == [OLD, NEW]
        (line,) = lines.matching("Failed to refresh metadata for idp1")
        assert reason in line
        assert status("idp1")["signature"] == "verified"  # of the settings in use

    def test_a_replaced_signing_certificate_file_counts_from_the_next_refresh(self, metadata_server, tmp_path):
        cert = tmp_path / "signer.crt"
        cert.write_text(SIGNER_PEM)
        metadata_server.publish(PATH, signed("idp.crt"))
        config = remote_config(metadata_server.url(PATH), metadata_signing_cert=str(cert),
                               metadata_refresh_interval=0.3)
        assemble(config)
        # The IdP's metadata signer rolls over too: new signer, new file.
        cert.write_text(read("other.crt"))
        metadata_server.publish(PATH, md.sign_metadata(md.idp_metadata_xml(certs=["idp_next.crt"]),
                                                       "other.key", "other.crt"))
        time.sleep(0.35)
        assemble(config)
        wait_for_refreshes(status, "idp1", 1)
        assert signing_certs(cached()) == [NEW]


class TestWhichEntity:
    """The settings come from one EntityDescriptor the verified signature
    covers, chosen by entity ID, and a refresh must describe the same
    entity: one key may sign the documents of a whole federation."""

    def config(self, server, entity_id=None, **keys):
        local = {"entityId": entity_id} if entity_id else None
        return remote_config(server.url(PATH), local_idp=local, metadata_signing_cert=SIGNER_PEM, **keys)

    def test_the_genuine_aggregate_gives_its_one_idp(self, metadata_server):
        metadata_server.publish(PATH, signed_aggregate(md.sp_entity_xml(), md.idp_metadata_xml(certs=["idp_next.crt"])))
        assert signing_certs(assemble(self.config(metadata_server))) == [NEW]
        assert status("idp1")["entity_id"] == IDP_ENTITY_ID

    def test_an_entity_hidden_in_the_signature_is_never_used(self, metadata_server):
        genuine = signed_aggregate(md.idp_metadata_xml(), md.sp_entity_xml())
        metadata_server.publish(PATH, md.hide_in_signature(genuine, md.idp_metadata_xml(certs=["other.crt"]),
                                                           "KeyInfo"))
        assert signing_certs(assemble(self.config(metadata_server))) == [OLD]

    def test_several_idps_need_the_configured_entity_id(self, metadata_server, lines):
        metadata_server.publish(PATH, signed_aggregate(md.idp_metadata_xml(OTHER_IDP, certs=["other.crt"]),
                                                       md.idp_metadata_xml(certs=["idp_next.crt"])))
        assert signing_certs(assemble(self.config(metadata_server))) == []
        (line,) = lines.matching("Failed to load metadata for idp1 because of ")
        assert (f"the metadata describes several identity providers ({OTHER_IDP}, {IDP_ENTITY_ID}): "
                "set settings.idp.entityId to the one to use") in line
        saml.SamlIDPConfig.cached_saml_settings.clear()
        assert signing_certs(assemble(self.config(metadata_server, IDP_ENTITY_ID))) == [NEW]
        saml.SamlIDPConfig.cached_saml_settings.clear()
        assert signing_certs(assemble(self.config(metadata_server, OTHER_IDP))) == [OTHER]

    def test_a_configured_entity_id_refuses_another_entitys_document(self, metadata_server, lines):
        metadata_server.publish(PATH, md.sign_metadata(md.idp_metadata_xml(OTHER_IDP, certs=["other.crt"])))
        assert signing_certs(assemble(self.config(metadata_server, IDP_ENTITY_ID))) == []
        (line,) = lines.matching("Failed to load metadata for idp1 because of ")
        assert (f"no identity provider with the entity ID {IDP_ENTITY_ID} (it describes {OTHER_IDP})") in line

    @pytest.mark.parametrize("configured", [None, IDP_ENTITY_ID], ids=["bound-by-the-first-document", "configured"])
    def test_a_refresh_for_another_entity_keeps_the_last_good_settings(self, metadata_server, lines, configured):
        metadata_server.publish(PATH, signed("idp.crt", "idp_next.crt"))
        config = self.config(metadata_server, configured, metadata_refresh_interval=1)
        first = assemble(config)
        metadata_server.publish(PATH, md.sign_metadata(md.idp_metadata_xml(OTHER_IDP, certs=["other.crt"])))
        wait_for_failures(status, "idp1", 1)  # on the schedule
        assert cached() is first and status("idp1")["entity_id"] == IDP_ENTITY_ID
        (line,) = lines.matching("Failed to refresh metadata for idp1")
        assert f"no identity provider with the entity ID {IDP_ENTITY_ID}" in line


class TestSigningConfiguration:
    @pytest.mark.parametrize("keys, words", [
        ({"metadata_signing_cert": SIGNER_PEM,
          "metadata_signing_fingerprint": cert_fingerprint("metadata_signer.crt")}, "not both"),
        ({"metadata_signing_fingerprint": "AB:CD"}, '"metadata_signing_fingerprint" must be'),
        ({"metadata_signing_fingerprint": 42}, '"metadata_signing_fingerprint" must be'),
        ({"metadata_signing_cert": ""}, '"metadata_signing_cert" must be'),
        ({"metadata_signing_cert": ["pem"]}, '"metadata_signing_cert" must be'),
        ({"metadata_refresh_interval": 0}, '"metadata_refresh_interval" must be a positive number'),
        ({"metadata_refresh_interval": -5}, '"metadata_refresh_interval" must be a positive number'),
        ({"metadata_refresh_interval": "3600"}, '"metadata_refresh_interval" must be a positive number'),
        ({"metadata_refresh_interval": True}, '"metadata_refresh_interval" must be a positive number'),
        ({"metadata_refresh_interval": float("nan")}, '"metadata_refresh_interval" must be a positive number'),
    ], ids=["both-keys", "short-fingerprint", "fingerprint-number", "empty-cert", "cert-list", "interval-zero",
            "interval-negative", "interval-text", "interval-bool", "interval-nan"])
    def test_wrong_values_make_the_configuration_invalid(self, metadata_server, keys, words):
        metadata_server.publish(PATH, signed("idp.crt"))
        config = remote_config(metadata_server.url(PATH), **keys)
        with pytest.raises(ValueError, match="^Invalid SAML configuration: ") as raised:
            assemble(config)
        assert words in str(raised.value)
        assert "idp1" not in saml.SamlIDPConfig.cached_saml_settings
        with pytest.raises(ValueError, match=words.replace('"', '.')):
            saml.SamlIDPConfig.validate_idp_config(config)
        # Validation switches the IdP off.
        settings = auth_settings(("idp1", config))
        saml.validate_saml_settings(settings, 5)
        assert config["enabled"] is False

    def test_null_values_count_as_absent(self, metadata_server):
        metadata_server.publish(PATH, md.idp_metadata_xml())
        config = remote_config(metadata_server.url(PATH), metadata_refresh_interval=None,
                               metadata_signing_cert=None, metadata_signing_fingerprint=None)
        assert signing_certs(assemble(config)) == [OLD] and status("idp1") is None

    def test_the_keys_do_nothing_without_remote_metadata(self):
        from tests.support.settings import idp_config

        config = idp_config("idp1", metadata_refresh_interval=0.1, metadata_signing_cert=SIGNER_PEM)
        settings = assemble(config)
        assert settings is config["settings"] and status("idp1") is None
        time.sleep(0.15)
        assert assemble(config) is settings
        saml.SamlIDPConfig.validate_idp_config(config)
