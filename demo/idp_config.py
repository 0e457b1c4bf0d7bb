"""The pysaml2 configuration of the demo identity provider, and its metadata."""

from saml2.config import IdPConfig
from saml2.metadata import create_metadata_string
from saml2.saml import NAME_FORMAT_URI, NAMEID_FORMAT_EMAILADDRESS
from saml2.sigver import get_xmlsec_binary


def idp_config(entity_id, sso_urls, slo_urls, key_file, cert_file):
    """The IdP's pysaml2 configuration, signing with this key.

    sso_urls, slo_urls: binding -> URL of the single sign-on and the
    single-logout service.
    """
    config = IdPConfig()
    config.load(
        {
            "entityid": entity_id,
            "name": "Velmora demo IdP",
            "service": {
                "idp": {
                    "endpoints": {
                        "single_sign_on_service": [(url, binding) for binding, url in sso_urls.items()],
                        "single_logout_service": [(url, binding) for binding, url in slo_urls.items()],
                    },
                    "name_id_format": [NAMEID_FORMAT_EMAILADDRESS],
                    "want_authn_requests_signed": False,
                    "policy": {
                        "default": {
                            "lifetime": {"minutes": 15},
                            "attribute_restrictions": None,
                            "name_form": NAME_FORMAT_URI,
                        }
                    },
                }
            },
            "key_file": str(key_file),
            "cert_file": str(cert_file),
            "xmlsec_binary": get_xmlsec_binary(["/usr/bin", "/usr/local/bin"]),
            "metadata": {},
            "allow_unknown_attributes": True,
            # Signatures are checked with the keys of the SP's metadata
            # only, never with a certificate the message brings along.
            "only_use_keys_in_metadata": True,
        }
    )
    return config


def metadata_document(config):
    """The IdP's metadata (unsigned, valid 24 hours) as text."""
    document = create_metadata_string(None, config=config, valid=24, sign=False)
    return document.decode("utf-8") if isinstance(document, bytes) else document
