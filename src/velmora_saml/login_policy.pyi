"""What an IdP entry asks of a login beyond a valid response: the authentication context, a fresh sign-in, the end of the session."""

import time as time
from typing import Any

from onelogin.saml2.utils import OneLogin_Saml2_Utils as OneLogin_Saml2_Utils
from onelogin.saml2.xml_utils import OneLogin_Saml2_XML as OneLogin_Saml2_XML
from pyramid.security import forget as forget

AUTHN_INSTANT_SKEW: int

class SamlSessionTween:
    """Pyramid tween: ends a session whose login is past the end "session_lifetime" gave it"""
    def __init__(self, handler: Any, registry: Any) -> None: ...
    def __call__(self, request: Any) -> Any: ...

def login_policy(idp_config: Any) -> dict[str, Any]:
    """The login policy keys of an IdP entry, checked (ValueError "Invalid SAML configuration: ...")"""
def login_request(request: Any, idp_config: Any) -> tuple[list[str] | None, bool]:
    """(AuthnContextClassRef values or None, ForceAuthn) that a login start asks of the IdP"""
def remember_login_request(request: Any, idp_config: Any, request_id: Any, class_refs: Any, force_authn: Any) -> None:
    """Keep in the browser's session what an AuthnRequest sent to the IdP asked"""
def check_response(request: Any, idp_config: Any, saml_auth: Any, request_id: Any) -> None:
    """ValueError unless the accepted response's authentication is what its AuthnRequest asked and fresh enough"""
def remember_login_context(request: Any, idp_id: Any, idp_config: Any, saml_auth: Any, user_id: Any) -> None:
    """Keep in the new session what the login was, and when the session ends"""
def login_context(request: Any) -> dict[str, Any] | None:
    """The SAML login of the request's session: idp_id, entity_id, name_id, authn_context, authn_instant,
session_not_on_or_after (Unix times or None); None when the session holds none."""
