"""SAML workflow core: IdP settings, login redirect, response processing,
replay trackers, user mapping, return URL, SP metadata and validation."""

import contextlib as contextlib
import logging as logging
import re as re
import time as time
import traceback as traceback
from collections.abc import Iterator, Mapping, MutableMapping
from typing import Any, ClassVar
from urllib.parse import urlparse as urlparse
from random import random as random

from onelogin.saml2.auth import OneLogin_Saml2_Auth as OneLogin_Saml2_Auth
from onelogin.saml2.errors import OneLogin_Saml2_Error as OneLogin_Saml2_Error
from onelogin.saml2.idp_metadata_parser import OneLogin_Saml2_IdPMetadataParser as OneLogin_Saml2_IdPMetadataParser
from onelogin.saml2.utils import OneLogin_Saml2_Utils as OneLogin_Saml2_Utils
from velmora.configs import UserConfig as UserConfig

log: logging.Logger

class SamlAuthLoader:
    """Class for loading and validating saml auth configs"""

    idps: dict[Any, MutableMapping[str, Any]]
    saml_settings: MutableMapping[str, Any]
    idp_configs: MutableMapping[Any, MutableMapping[str, Any]] | None
    saml_enabled: Any
    def __init__(self, auth_settings: Mapping[str, Any]) -> None:
        """Load SAML auth settings"""
    def load_by_id(self, idp_id: Any) -> MutableMapping[str, Any]: ...
    def validate_all(self, timeout: float) -> None:
        """Validate saml settings, disable invalid"""

class SamlDuplicateResponsesTrackerInMemcache:
    """Store seen saml responses in memcache. Remove expired."""

    KEY_SUFFIX: ClassVar[str]
    LOCK_WAIT_TIMEOUT: ClassVar[int]
    mc: Any
    key: str
    lock_key: str
    memcache_lock_sleep_interval: float
    my_proc_uid: Any
    _seen_responses: dict[str, float] | None
    def __init__(
        self, mc: Any, mc_root_key: Any, memcache_lock_sleep_interval: float = 0.1, my_proc_uid: Any = ""
    ) -> None: ...
    def _lazy_init(self) -> None: ...
    def lock(self) -> contextlib.AbstractContextManager[None]:
        """Lock memcache to avoid race condition"""
    def is_seen(self, req_id: str) -> bool: ...
    def add(self, req_id: str, expiration: float) -> None:
        """expiration: unix time"""
    def cleanup_expired(self) -> None: ...
    def reset(self) -> None: ...

class SamlDuplicateResponsesTrackerInMemory:
    """Store seen saml responses in memory. Cleanup expired."""

    _seen_responses: dict[str, float]
    def __init__(self) -> None: ...
    def lock(self) -> contextlib.AbstractContextManager[None]: ...
    def add(self, req_id: str, expiration: float) -> None:
        """expiration date is unix time"""
    def is_seen(self, req_id: str) -> bool: ...
    def cleanup_expired(self) -> None: ...
    def reset(self) -> None: ...

responses_tracker_mem: SamlDuplicateResponsesTrackerInMemory

class SamlIDPConfig:
    """Handle saml workflow"""

    cached_saml_settings: ClassVar[dict[str, dict[str, Any]]]
    UNBOUNDED_RESPONSE_RECORD_LIFETIME: ClassVar[int]
    saml_http_timeout: ClassVar[float]
    users: Any
    idp_config: MutableMapping[str, Any]
    saml_auth_attribute: str
    user_config_attribute: str
    saml_auth_regex: str | None
    raw_request: Any
    request: dict[str, Any]
    saml_auth: OneLogin_Saml2_Auth
    responses_tracker: Any
    def __init__(
        self, idp_config: MutableMapping[str, Any], raw_request: Any, users: Any, responses_tracker: Any = None
    ) -> None: ...
    @classmethod
    def get_idp_settings(cls, idp_config: MutableMapping[str, Any], timeout: float = 5) -> dict[str, Any]: ...
    @classmethod
    def generate_login_url(cls, idp_config: MutableMapping[str, Any], raw_request: Any, return_to_url: str) -> str:
        """Generate redirect to IdP site"""
    @classmethod
    def validate_idp_config(cls, idp_config: MutableMapping[str, Any], timeout: float = 5) -> None: ...
    @staticmethod
    def map_pyramid_to_saml_request(request: Any) -> dict[str, Any]: ...
    def process_saml_response(self) -> None: ...
    def reject_duplicated_response(self) -> None:
        """Prevent reply attack by checking is response ID already seen"""
    def get_sso_user_id(self) -> Any:
        """Returns saml user id from saml NameID attribute."""
    def get_user_id(self) -> Any: ...
    def _get_mapped_user_id(self, attributes: MutableMapping[str, Any]) -> Any: ...
    def match_saml_regex(self, saml_values: list[Any]) -> list[Any]: ...
    def get_return_to_url(self) -> str: ...
    def get_sp_metadata(self) -> str: ...

def validate_saml_settings(auth_settings: Mapping[str, Any], timeout: float) -> None: ...
