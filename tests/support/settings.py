"""Auth settings of the kind the host keeps, for the tests."""

import base64
import copy
import functools
import hashlib
import pathlib

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"

SP_HOST = "sp.example.test"
IDP_ENTITY_ID = "https://idp.example.test/metadata"
IDP_SSO_URL = "https://idp.example.test/sso"


@functools.cache
def read(name):
    """A fixture file's text (read once: the crash sweeps build settings
    thousands of times)."""
    return (DATA / name).read_text()


def cert_body(name):
    """A PEM certificate without its armour lines, as IdP metadata carries it."""
    lines = read(name).strip().splitlines()
    return "".join(line for line in lines if "-----" not in line)


def cert_fingerprint(name, separator=":"):
    """SHA-256 fingerprint of a certificate's DER bytes, upper-case hex pairs
    joined by `separator` (as `openssl x509 -fingerprint -sha256` prints it)."""
    digest = hashlib.sha256(base64.b64decode(cert_body(name))).hexdigest().upper()
    return separator.join(digest[i:i + 2] for i in range(0, len(digest), 2))


def toolkit_settings(idp_id="idp1", host=SP_HOST, **security):
    """python3-saml settings of one IdP, as the host stores them."""
    base = f"https://{host}"
    return {
        "strict": True,
        "debug": False,
        "sp": {
            "entityId": f"{base}/saml/metadata/{idp_id}",
            "assertionConsumerService": {
                "url": f"{base}/saml/acs/{idp_id}",
                "binding": "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-POST",
            },
            "NameIDFormat": "urn:oasis:names:tc:SAML:1.1:nameid-format:unspecified",
            "x509cert": cert_body("sp.crt"),
            "privateKey": read("sp.key"),
        },
        "idp": {
            "entityId": IDP_ENTITY_ID,
            "singleSignOnService": {
                "url": IDP_SSO_URL,
                "binding": "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect",
            },
            "x509cert": cert_body("idp.crt"),
        },
        "security": {"wantAttributeStatement": False, **security},
    }


def idp_config(idp_id="idp1", idp_name=None, enabled=True, settings=None, **extra):
    config = {
        "enabled": enabled,
        "idp_name": idp_name or idp_id,
        "settings": settings if settings is not None else toolkit_settings(idp_id),
        "saml_auth_attribute": "NameID",
        "user_config_attribute": "email",
    }
    config.update(extra)
    return config


def auth_settings(*configs, enabled=True):
    """The host's auth settings mapping holding the given (id, idp_config) pairs."""
    return {
        "authentication_policies": {
            "saml": {
                "enabled": enabled,
                "identity_providers": {idp_id: config for idp_id, config in configs},
            }
        }
    }


def clone(value):
    return copy.deepcopy(value)
