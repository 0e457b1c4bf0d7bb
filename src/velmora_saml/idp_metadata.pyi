"""Remote IdP metadata of the IdPs that refresh or check it: the signature check, validity times and the
per-IdP records that schedule refreshes."""

from collections.abc import Mapping
from typing import Any

# Seconds before the first retry after a failed fetch; it doubles with each
# failure in a row, up to the refresh interval and BACKOFF_LIMIT.
BACKOFF_FIRST: int
BACKOFF_LIMIT: int
# The default bound on a fetched metadata document's size, in bytes
# ("metadata_max_bytes" of an IdP entry sets another).
METADATA_MAX_BYTES: int
# The algorithms a metadata signature may be made with.
SIGNATURE_ALGORITHMS: tuple[str, ...]
DIGEST_ALGORITHMS: tuple[str, ...]
# The transforms and canonicalizations a signature may name (in a posted
# response and in signed metadata), and how many transforms at most.
SIGNATURE_TRANSFORMS: tuple[str, ...]
MAX_SIGNATURE_TRANSFORMS: int

class MetadataNotAvailable(ValueError):
    """An IdP that refreshes its metadata has had no good document yet"""

def metadata_policy(idp_config: Mapping[str, Any]) -> tuple[Any, Any, Any] | None:
    """The IdP's metadata keys, checked; None when none of them is set

    The tuple holds the refresh interval, the signing certificate setting and
    the SHA-256 fingerprint (lower-case hex), each None when not set.
    """

def read_document(document: bytes | str, policy: tuple[Any, Any, Any], parser: Any,
                  entity_id: str | None = None, prefer_post: bool = False) -> tuple[dict[str, Any], dict[str, Any]]:
    """The settings parsed from a fetched metadata document, and what is known of it

    The settings are those of the IdP entity with entity_id, or of the only
    one the document describes when entity_id is None; an endpoint offered on
    HTTP-POST only is taken on HTTP-POST (every one offered so with
    prefer_post). Raises ValueError with the reason when the document must
    not be used.
    """

def index_aggregate(document: bytes | str, policy: tuple[Any, Any, Any]) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """A federation's signed metadata, checked, as (facts, [one record per IdP entity])

    Each record holds entity_id, settings (the IdP side of the toolkit's settings, as its
    parser makes them), scopes ([(scope, is a regular expression)]), registration_authority
    and ui (mdui texts). Raises ValueError with the reason when the document must not be used.
    """

def fetch_document(url: str, timeout: float, max_bytes: int, accept: str | None = None) -> bytes:
    """The metadata document at url as bytes, read to at most max_bytes within timeout seconds"""

def start_record(idp_name: Any, idp_config: Mapping[str, Any], policy: tuple[Any, Any, Any], facts: dict[str, Any] | None,
                 error: str | None) -> None:
    """Begin the IdP's record after its settings were assembled"""

def claim_refresh(idp_name: Any) -> tuple[int, Mapping[str, Any], tuple[Any, Any, Any], str | None] | None:
    """The refresh to run now, (generation, idp_config, policy, entity ID of the settings in use), or None"""

def notice_use(idp_name: Any) -> tuple[tuple[int, Mapping[str, Any], tuple[Any, Any, Any], str | None] | None,
                                       str | None] | None:
    """On each use of the IdP's settings: None, or (the refresh to run now or None, why the settings
    must not be used or None)

    The settings must not be used once the document they come from is past its validUntil.
    """

def claim_due() -> list[tuple[Any, tuple[int, Mapping[str, Any], tuple[Any, Any, Any], str | None]]]:
    """The refreshes due now, [(idp_name, claim)], each claimed as claim_refresh claims it"""

def next_due_in() -> float | None:
    """Seconds until the earliest refresh of any record is due (0: now), or None when none is scheduled"""

def forget_all_records() -> None:
    """Drop every record (a host starting over, a test)"""

def refresh_succeeded(idp_name: Any, generation: int, facts: dict[str, Any]) -> bool:
    """Note a refresh that produced good settings; False when they belong to an earlier record"""

def refresh_failed(idp_name: Any, generation: int, reason: str) -> bool:
    """Note a refresh that failed; False when it belongs to an earlier record"""

def forget_record(idp_name: Any) -> bool:
    """Drop the IdP's record (its settings were assembled anew without the keys); False when it has none"""

def force_refresh(idp_name: Any) -> bool:
    """Make the IdP's refresh due now; False when it has no record"""

def awaiting_document(idp_name: Any, idp_config: Mapping[str, Any]) -> str | None:
    """Why the entry's first document has not come yet (its first fetch failed), or None"""

def metadata_status(idp_name: Any) -> dict[str, Any] | None:
    """What the IdP's record holds, or None"""

def shown_text(value: object, limit: int = 500) -> str:
    """A text from outside as one bounded line: cut at limit characters, what is not printable escaped"""

def sp_metadata_without_idp(idp_config: Mapping[str, Any], metadata_class: type | None = None) -> str:
    """The SP metadata document of an entry whose IdP metadata has not come, from its local settings

    metadata_class, when given, replaces the toolkit's OneLogin_Saml2_Metadata for this document.
    Raises ValueError with the toolkit's error list when the toolkit finds the document invalid.
    """
