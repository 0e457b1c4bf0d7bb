"""Pyramid views of the SAML plug-in and the login-failed redirect."""

import logging as logging
from typing import Any

from pyramid.httpexceptions import HTTPBadRequest as HTTPBadRequest
from pyramid.httpexceptions import HTTPFound as HTTPFound
from pyramid.httpexceptions import HTTPOk as HTTPOk
from pyramid.security import remember as remember
from velmora.logging_conf import current_thread_log_context as current_thread_log_context
from velmora.utils import load_sso_user_to_session as load_sso_user_to_session

from .saml import SamlAuthLoader as SamlAuthLoader
from .saml import SamlDuplicateResponsesTrackerInMemcache as SamlDuplicateResponsesTrackerInMemcache
from .saml import SamlIDPConfig as SamlIDPConfig
from .saml import responses_tracker_mem as responses_tracker_mem

log: logging.Logger
LOGIN_FAILED_URL: str

def login_failed(idp_id: Any, desc: Any) -> HTTPFound: ...
def saml_sso_view(context: Any, request: Any) -> HTTPFound:
    """Generate redirect to SAML IdP"""
def saml_callback_view(context: Any, request: Any) -> HTTPFound:
    """SAML assertion consumer url - asc. Aka callback.

    Validate SAML response and login user.
    """
def saml_metadata_view(context: Any, request: Any) -> HTTPOk: ...
