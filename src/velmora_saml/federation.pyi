"""IdP entries with a "federation" mapping: every IdP of a signed aggregate or an MDQ service, each logged in
through an entry made for it."""

from collections.abc import Iterable, Mapping
from typing import Any

# How many entries made for IdPs a worker keeps, the least recently used dropped beyond.
MAX_ENTRIES: int
# Seconds between fetches of a federation's aggregate unless "refresh_interval" says otherwise.
DEFAULT_REFRESH_INTERVAL: float

def federation_policy(idp_config: Mapping[str, Any]) -> dict[str, Any]:
    """The entry's "federation" mapping, checked (ValueError "Invalid SAML configuration: ...")"""

def validate(idp_config: Mapping[str, Any]) -> None:
    """What validation checks of a federation's entry; MetadataNotAvailable while its documents have not come"""

def entity_config(idp_id: Any, idp_config: Mapping[str, Any], request: Any, how: str) -> dict[str, Any]:
    """The entry made for the IdP of the federation that the request names

    how: "login" (its entityID parameter) or "response" (the posted response's Issuer).
    ValueError "IdP is not found" for an IdP the federation does not have or allow.
    """

def entity_for(idp_id: Any, idp_config: Mapping[str, Any], entity_id: str) -> dict[str, Any]:
    """The entry made for the IdP entity_id of the federation"""

def entity_named(idp_id: Any, idp_config: Mapping[str, Any], idp_name: str) -> dict[str, Any]:
    """The entry made for the IdP of the federation whose entry is named idp_name (what a session keeps)"""

def scoped_attributes(idp_config: Mapping[str, Any], attributes: Mapping[str, Any],
                      saml_auth_attribute: Any) -> dict[str, Any]:
    """The attributes of a response from an IdP of a federation, scoped values outside its scopes dropped"""

def forget_entities() -> None:
    """Drop the entries made for IdPs (a host starting over, a test)"""

def choice_index(choices: Iterable[tuple[str, str, str]]) -> Any:
    """The search index of a discovery page: choices are (names_text, other_text, sort_key) triples of folded text"""

def search_choices(index: Any, words: Iterable[tuple[str, list[str] | None]], whole: str, boosted: Iterable[int],
                   limit: int) -> tuple[list[int], int]:
    """(the indices of the best `limit` choices that match every word, how many match)

    words: [(word, parts or None)], folded; a choice whose sort key starts with `whole` gains 3, one whose
    index is in `boosted` 100; ties go by sort key.
    """
