"""Replay stores chosen by the SAML settings' "replay_store" key."""

import contextlib as contextlib
import logging as logging
import time as time
from collections.abc import Iterator, Mapping
from typing import Any, ClassVar, Protocol

class _Tracker(Protocol):
    def lock(self) -> contextlib.AbstractContextManager[None]: ...
    def is_seen(self, req_id: Any) -> bool: ...
    def add(self, req_id: Any, expiration: float) -> None: ...
    def cleanup_expired(self) -> None: ...
    def reset(self) -> None: ...

REPLAY_STORES: tuple[str, str, str]

class SamlReplayKeyStore:
    """Store each seen saml response as its own memcache entry. Memcache expires them."""

    KEY_SUFFIX: ClassVar[str]
    mc: Any
    key_prefix: str
    def __init__(self, mc: Any, mc_root_key: Any) -> None: ...
    def record_key(self, req_id: Any) -> str:
        """memcache key of the record of one id"""
    @staticmethod
    def expire_time(expiration: float, now: float) -> int:
        """memcache expiry of a record that matters until expiration (unix time)"""
    @contextlib.contextmanager
    def lock(self) -> Iterator[None]:
        """Nothing to lock: records are made with an atomic add"""
    def is_seen(self, req_id: Any) -> bool: ...
    def add(self, req_id: Any, expiration: float) -> None:
        """expiration: unix time"""
    def cleanup_expired(self) -> None: ...
    def reset(self) -> None: ...

class SamlReplayMigratingStore:
    """Check and record seen saml responses in the shared mapping and in the key store."""

    mapping_tracker: _Tracker
    key_store: SamlReplayKeyStore
    def __init__(self, mapping_tracker: _Tracker, key_store: SamlReplayKeyStore) -> None: ...
    def lock(self) -> contextlib.AbstractContextManager[None]:
        """The lock of the shared mapping"""
    def is_seen(self, req_id: Any) -> bool: ...
    def add(self, req_id: Any, expiration: float) -> None:
        """expiration: unix time"""
    def cleanup_expired(self) -> None: ...
    def reset(self) -> None: ...

def replay_store_name(saml_settings: Mapping[str, Any]) -> str:
    """The replay store the SAML settings choose: "mapping" (also when unset), "keys" or "migrate"."""
