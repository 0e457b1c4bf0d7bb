"""User configurations of the stand-in host."""


class UserConfig:
    """One host user's configuration."""

    # Attributes of a user config that an IdP may be mapped onto.
    allowed_sso_keys = ("email", "username", "sso_id")

    def __init__(self, username, email="", sso_id=""):
        self.username = username
        self.email = email
        self.sso_id = sso_id

    def __repr__(self):
        return f"UserConfig({self.username!r}, email={self.email!r}, sso_id={self.sso_id!r})"
