"""The demo's users: the identity provider's accounts (user name / password).

carol has no account on the demo host: logging in as her ends on the host's
login-failed page ("User not found for the SAML response.").

"code" is each user's one-time code, the second factor the IdP asks for
when a service provider asks for multi-factor authentication (a real IdP
asks an authenticator app or a security key; the demo's codes never change).
"""

IDP_USERS = {
    "alice": {"password": "alice", "code": "111111", "email": "alice@example.org", "name": "Alice Archer"},
    "bob": {"password": "bob", "code": "222222", "email": "bob@example.org", "name": "Bob Baker"},
    "carol": {"password": "carol", "code": "333333", "email": "carol@example.org", "name": "Carol Cole"},
}
