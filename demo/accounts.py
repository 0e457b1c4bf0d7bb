"""The demo's users: the identity provider's accounts (user name / password).

carol has no account on the demo host: logging in as her ends on the host's
login-failed page ("User not found for the SAML response.").
"""

IDP_USERS = {
    "alice": {"password": "alice", "email": "alice@example.org", "name": "Alice Archer"},
    "bob": {"password": "bob", "email": "bob@example.org", "name": "Bob Baker"},
    "carol": {"password": "carol", "email": "carol@example.org", "name": "Carol Cole"},
}
