"""Session helpers of the stand-in host."""


def load_sso_user_to_session(request, sso_user_id):
    """Store the SSO user in the (freshly invalidated) session."""
    request.session["sso_user_id"] = sso_user_id
