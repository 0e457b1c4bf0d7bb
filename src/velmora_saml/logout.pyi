"""Single logout, what SAML logins keep in the browser's session, and the HTTP-POST binding."""

import html as html
import logging as logging
import time as time
import zlib as zlib
from types import SimpleNamespace as SimpleNamespace
from typing import Any

from onelogin.saml2.auth import OneLogin_Saml2_Auth as OneLogin_Saml2_Auth
from onelogin.saml2.constants import OneLogin_Saml2_Constants as OneLogin_Saml2_Constants
from onelogin.saml2.errors import OneLogin_Saml2_Error as OneLogin_Saml2_Error
from onelogin.saml2.logout_request import OneLogin_Saml2_Logout_Request as OneLogin_Saml2_Logout_Request
from onelogin.saml2.logout_response import OneLogin_Saml2_Logout_Response as OneLogin_Saml2_Logout_Response
from onelogin.saml2.utils import OneLogin_Saml2_Utils as OneLogin_Saml2_Utils
from onelogin.saml2.xml_utils import OneLogin_Saml2_XML as OneLogin_Saml2_XML
from pyramid.httpexceptions import HTTPFound as HTTPFound
from pyramid.response import Response as Response
from pyramid.security import forget as forget

from .saml import SamlAuthLoader as SamlAuthLoader
from .saml import SamlDuplicateResponsesTrackerInMemcache as SamlDuplicateResponsesTrackerInMemcache
from .saml import SamlIDPConfig as SamlIDPConfig
from .saml import responses_tracker_mem as responses_tracker_mem
from .views import login_failed as login_failed

log: logging.Logger
AUTHN_REQUEST_LIFETIME: int
MAX_AUTHN_REQUESTS: int
LOGOUT_REQUEST_LIFETIME: int
LOGOUT_MESSAGE_LIMIT: int
REPOST_MARKER: str

def idp_logout_options(idp_config: Any) -> tuple[bool, bool]:
    """(allow_unsolicited, single_logout) of an IdP entry; ValueError for a value that is neither."""
def check_single_logout_settings(saml_settings: Any, idp_config: Any = None) -> None:
    """ValueError unless the settings name the SP's single-logout service on HTTP-Redirect (or on HTTP-POST, for an IdP whose logout messages go by HTTP-POST)."""
def remember_authn_request(request: Any, idp_config: Any, request_id: Any) -> None:
    """Keep the id of an AuthnRequest sent to the IdP in the browser's session."""
def claim_authn_request(request: Any, idp_config: Any, in_response_to: Any) -> Any:
    """The outstanding AuthnRequest id a response answers, forgotten from now on; ValueError otherwise."""
def repost_without_cookie(request: Any) -> Response | None:
    """The page that posts the form again from this site, when it came without a session."""
def remember_login(request: Any, idp_config: Any, saml_auth: Any) -> None:
    """Keep in the new session what a LogoutRequest for this login needs."""
def post_authn_request(request: Any, idp_config: Any, return_to_url: Any) -> Response:
    """The page that posts a new AuthnRequest to the IdP's single sign-on service (HTTP-POST binding)."""
def saml_logout_view(context: Any, request: Any) -> HTTPFound | Response:
    """End the local session, and the IdP's through a LogoutRequest"""
def saml_sls_view(context: Any, request: Any) -> HTTPFound | Response:
    """SAML single logout service: the IdP's LogoutResponse or LogoutRequest"""
def takes_posted_logout(request: Any) -> bool:
    """Whether the single-logout service takes a posted message for the IdP of this request."""
