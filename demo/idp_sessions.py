"""Single-sign-on sessions of the demo identity provider.

A session starts when a user signs in with the password (and, when the
service provider asked for it, the one-time code: multi-factor). It keeps
how and when the user last signed in. While it lives, the IdP answers an
AuthnRequest from the same browser (its session cookie) without asking
again, unless the request asks for more than that sign-in was (MFA after a
password) or for a fresh one (ForceAuthn), and records every service
provider it answered: the
NameID and the SessionIndex it issued there. Those records are what a
LogoutRequest from a service provider is matched against, and what the IdP
names in the LogoutRequests of a logout it starts itself.
"""

import dataclasses
import secrets
import threading
import time

from saml2.authn_context import PASSWORD

# How a user signed in, as the AuthnContextClassRef of the assertions says
# it: PASSWORD (pysaml2's Password class), or MFA.
MFA = "https://refeds.org/profile/mfa"

# Sessions kept at most (the oldest dropped first).
KEEP = 200


@dataclasses.dataclass(frozen=True)
class IssuedName:
    """A NameID as the IdP issued it to one service provider."""

    text: str
    format: str = None
    name_qualifier: str = None
    sp_name_qualifier: str = None

    def matches(self, text, format=None, name_qualifier=None, sp_name_qualifier=None):
        """Whether a NameID received back names this one.

        The value must be the same; a format or qualifier that the sender
        leaves out is not held against it, one it gives must be the issued one.
        """
        if text != self.text:
            return False
        sent = (format, name_qualifier, sp_name_qualifier)
        issued = (self.format, self.name_qualifier, self.sp_name_qualifier)
        return all(theirs is None or theirs == mine for theirs, mine in zip(sent, issued))


@dataclasses.dataclass
class Participant:
    """One service provider a session logged in to, with the SessionIndex
    of every assertion issued to it (a second login to the same SP while
    the session lives adds one)."""

    sp_entity_id: str
    name_id: IssuedName
    session_indexes: list


@dataclasses.dataclass
class SsoSession:
    session_id: str
    username: str
    expires: float  # time.time()
    participants: dict = dataclasses.field(default_factory=dict)  # SP entity id -> Participant
    authn_class: str = PASSWORD  # how the user last signed in
    signed_in_at: float = dataclasses.field(default_factory=time.time)

    def alive(self, now=None):
        return (time.time() if now is None else now) < self.expires


class SessionStore:
    """The IdP's sessions, shared by its threads."""

    def __init__(self, lifetime=3600, keep=KEEP):
        self.lifetime = lifetime
        self.keep = keep
        self._lock = threading.Lock()
        self._sessions = {}  # session id -> SsoSession, oldest first

    def start(self, username, authn_class=PASSWORD):
        now = time.time()
        session = SsoSession(secrets.token_urlsafe(24), username, now + self.lifetime, authn_class=authn_class,
                             signed_in_at=now)
        with self._lock:
            self._sessions[session.session_id] = session
            while len(self._sessions) > self.keep:
                del self._sessions[next(iter(self._sessions))]
        return session

    def get(self, session_id):
        """The live session of this id, or None (an expired one is dropped)."""
        if not session_id:
            return None
        with self._lock:
            session = self._sessions.get(session_id)
            if session is not None and not session.alive():
                del self._sessions[session_id]
                return None
            return session

    def signed_in_again(self, session, authn_class):
        """The user of a live session signed in again (ForceAuthn, or a step up to MFA)."""
        with self._lock:
            session.authn_class = authn_class
            session.signed_in_at = time.time()

    def end(self, session_id):
        """Ends the session; returns it, or None when it was not (or no longer) there."""
        with self._lock:
            return self._sessions.pop(session_id, None)

    def record(self, session, sp_entity_id, name_id, session_index):
        with self._lock:
            known = session.participants.get(sp_entity_id)
            if known is None or known.name_id != name_id:
                session.participants[sp_entity_id] = Participant(sp_entity_id, name_id, [session_index])
            else:
                known.session_indexes.append(session_index)

    def find(self, sp_entity_id, name_id_matches, session_indexes):
        """The live session that issued a matching NameID (and, when the
        sender names session indexes, one of them) to this service provider."""
        now = time.time()
        with self._lock:
            for session in self._sessions.values():
                participant = session.participants.get(sp_entity_id)
                if participant is None or not session.alive(now) or not name_id_matches(participant.name_id):
                    continue
                if session_indexes and not session_indexes.intersection(participant.session_indexes):
                    continue
                return session
        return None

    def __len__(self):
        with self._lock:
            return len(self._sessions)
