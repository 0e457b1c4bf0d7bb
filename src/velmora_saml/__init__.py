"""SAML 2.0 single sign-on for velmora: the service-provider side.

The work is done by the extension modules ``velmora_saml.saml``,
``velmora_saml.views``, ``velmora_saml.logout``, ``velmora_saml.replay_store``,
``velmora_saml.idp_metadata``, ``velmora_saml.federation`` and
``velmora_saml.login_policy``; this package file only hosts the Pyramid
``includeme`` hook (and ``login_context``), so that a host mounts the plug-in with::

    config.include("velmora_saml")

Routes registered, with the registry settings that override their names
and patterns (every pattern must hold the ``{idp_id}`` placeholder):

- login start, any method: route ``saml_sso`` on ``/sso/saml/{idp_id}``
  (``velmora_saml.route_name.sso``, ``velmora_saml.route.sso``);
- assertion consumer service (ACS), POST only: route ``saml_acs`` on
  ``/saml/acs/{idp_id}`` (``velmora_saml.route_name.acs``,
  ``velmora_saml.route.acs``);
- SP metadata, any method: route ``saml_metadata`` on
  ``/saml/metadata/{idp_id}`` (``velmora_saml.route_name.metadata``,
  ``velmora_saml.route.metadata``).

Single logout adds two routes, served by ``velmora_saml.logout``; they are
registered when an IdP entry of the registry's ``auth_settings`` sets
``"single_logout": true``, or when the settings name one of their patterns:

- logout start, any method: route ``saml_logout`` on ``/saml/logout/{idp_id}``
  (``velmora_saml.route_name.logout``, ``velmora_saml.route.logout``);
- single-logout service (SLS), GET (HTTP-Redirect binding): route
  ``saml_sls`` on ``/saml/sls/{idp_id}`` (``velmora_saml.route_name.sls``,
  ``velmora_saml.route.sls``); POST too (HTTP-POST binding) for an IdP whose
  logout messages go by HTTP-POST (its single-logout endpoint is on
  HTTP-POST, or its entry sets ``"request_binding": "post"``), a POST for any
  other IdP finding no view, as before.

An IdP entry with a ``"federation"`` mapping adds, served by
``velmora_saml.discovery`` (GET and HEAD):

- the discovery page, route ``saml_discovery`` on ``/saml/discovery/{idp_id}``
  (``velmora_saml.route_name.discovery``, ``velmora_saml.route.discovery``),
  where a login start of the entry that names no IdP leads;
- its feed, route ``saml_discovery_feed`` on ``/saml/discovery/{idp_id}/feed``
  (``velmora_saml.route_name.discovery_feed``, ``velmora_saml.route.discovery_feed``).

With ``"discovery": true`` in the SAML settings mapping, the site's page of
every enabled IdP entry: route ``saml_site_discovery`` on ``/saml/discovery``
(``velmora_saml.route_name.site_discovery``, ``velmora_saml.route.site_discovery``).

With ``"status_allow": [networks]`` in the SAML settings mapping
(``auth_settings`` → ``authentication_policies`` → ``saml``), a status view
of the running process is registered: GET and HEAD, route ``saml_status`` on
``/saml/status``, served by ``velmora_saml.status`` to clients inside those
networks (a 404 to every other client and method); ``"status_trusted_proxies":
[networks]`` names the reverse proxies whose X-Forwarded-For is believed.

The settings keys are read from the registry settings (the ini file's app
section) when ``includeme`` runs; a ``route_prefix`` given to
``config.include`` applies to every pattern.

The ACS URL and the SP entity id in each IdP's toolkit settings must be the
URLs these routes answer on (for example ``https://<host>/saml/acs/<idp_id>``
and ``https://<host>/saml/metadata/<idp_id>``), and so must the SP's
single-logout URL (``https://<host>/saml/sls/<idp_id>``).

With ``"metrics": true`` in the SAML settings of the registry's
``auth_settings``, ``includeme`` creates the plug-in's Prometheus metrics
(``velmora_saml.audit``); a wrong value of the key, or ``prometheus_client``
missing, is a ``ConfigurationError``. The host serves the metrics itself
(docs/configuration.md shows how).

When an IdP entry sets ``"session_lifetime"``, ``includeme`` also adds the
tween ``velmora_saml.login_policy.SamlSessionTween``: the first request of a
session past the end its login was given drops the session and forgets the
user, and is answered as a request of someone not logged in. Without such an
entry no tween is added. ``login_context(request)`` tells a host view how
the session's user signed in (for a step-up to another authentication
context).

The views need no permission: they are where an anonymous user logs in (and
where a logout ends, whoever is logged in). The ACS view, and the SLS for a
POST, are exempt from Pyramid's CSRF check: the IdP's form post comes from
another site and cannot carry the host's token; the signature of the SAML
message is what protects it.
"""

_ROUTES = (
    # (key, default route name, default pattern, view name, view options)
    ("sso", "saml_sso", "/sso/saml/{idp_id}", "saml_sso_view", {}),
    ("acs", "saml_acs", "/saml/acs/{idp_id}", "saml_callback_view", {"request_method": "POST", "require_csrf": False}),
    ("metadata", "saml_metadata", "/saml/metadata/{idp_id}", "saml_metadata_view", {}),
)

_LOGOUT_ROUTES = (
    # A logout is a link as often as a form: no CSRF token is asked of a POST.
    ("logout", "saml_logout", "/saml/logout/{idp_id}", "saml_logout_view", {"require_csrf": False}),
    # HTTP-Redirect only: the toolkit reads logout messages from the query.
    ("sls", "saml_sls", "/saml/sls/{idp_id}", "saml_sls_view", {"request_method": "GET"}),
)

_DISCOVERY_ROUTES = (
    # Served by velmora_saml.discovery, GET and HEAD (the views refuse the rest).
    ("discovery", "saml_discovery", "/saml/discovery/{idp_id}", "discovery_view", {}),
    ("discovery_feed", "saml_discovery_feed", "/saml/discovery/{idp_id}/feed", "discovery_feed_view", {}),
)
_SITE_DISCOVERY_ROUTE = ("site_discovery", "saml_site_discovery", "/saml/discovery", "site_discovery_view", {})


def _identity_providers(settings):
    try:
        providers = settings["auth_settings"]["authentication_policies"]["saml"]["identity_providers"]
    except Exception:
        return []
    return [entry for entry in providers.values() if isinstance(entry, dict)] if isinstance(providers, dict) else []


def _federation_asked(settings):
    """Whether an IdP entry has a "federation" mapping: its discovery page
    and feed are then wanted."""
    if any(settings.get(f"velmora_saml.route.{key}") for key, *_ in _DISCOVERY_ROUTES):
        return True
    return any(entry.get("federation") for entry in _identity_providers(settings))


class _PostedLogout:
    """The view predicate of the SLS for a POST: true when the request's IdP
    takes its logout messages posted (velmora_saml.logout.takes_posted_logout)."""

    def __init__(self, value, config):
        self.value = bool(value)

    def text(self):
        return f"velmora_saml_posted_logout = {self.value}"

    phash = text

    def __call__(self, context, request):
        from . import logout

        return bool(logout.takes_posted_logout(request)) == self.value


def _single_logout_asked(settings):
    """Whether the routes of single logout are wanted: an IdP entry sets
    "single_logout" to true, or the settings name one of their patterns.
    Settings of any shape are read without failing: what is wrong with them
    is reported where they are used."""
    if any(settings.get(f"velmora_saml.route.{key}") for key, *_ in _LOGOUT_ROUTES):
        return True
    try:
        providers = settings["auth_settings"]["authentication_policies"]["saml"]["identity_providers"]
        return any(isinstance(entry, dict) and entry.get("single_logout") is True for entry in providers.values())
    except Exception:
        return False


def _route_name(settings, key, default_name):
    return settings.get(f"velmora_saml.route_name.{key}") or default_name


def _add_routes(config, settings, routes, views, per_idp=True):
    from pyramid.exceptions import ConfigurationError
    from pyramid.security import NO_PERMISSION_REQUIRED

    for key, default_name, default_pattern, view_name, options in routes:
        route_name = _route_name(settings, key, default_name)
        pattern = settings.get(f"velmora_saml.route.{key}") or default_pattern
        # The views take the IdP from the match dictionary; without the
        # placeholder every request would fail with a KeyError.
        if per_idp and "{idp_id" not in pattern:
            raise ConfigurationError(f"velmora_saml.route.{key}: the pattern {pattern!r} lacks {{idp_id}}")
        config.add_route(route_name, pattern)
        config.add_view(
            getattr(views, view_name), route_name=route_name, permission=NO_PERMISSION_REQUIRED, **options
        )


def _start_metrics(settings):
    """Creates the metrics when the SAML settings ask for them."""
    from pyramid.exceptions import ConfigurationError

    try:
        saml_settings = settings["auth_settings"]["authentication_policies"]["saml"]
    except Exception:
        return  # the views report settings of the wrong shape
    from . import audit

    try:
        wanted = audit.metrics_wanted(saml_settings)
    except ValueError as error:
        raise ConfigurationError(str(error)) from error
    if wanted:
        audit.enable_metrics(saml_settings)

def _follow_toolkit_caches(saml_settings):
    """Puts the toolkit's caches in unless the SAML settings say "toolkit_caches": false."""
    from pyramid.exceptions import ConfigurationError

    from . import toolkit_caches

    try:
        toolkit_caches.follow(saml_settings)
    except ValueError as error:
        raise ConfigurationError(str(error)) from error


def _saml_settings(settings):
    """The SAML settings mapping, or {} when the settings have another shape
    (reported where they are used)."""
    try:
        saml_settings = settings["auth_settings"]["authentication_policies"]["saml"]
    except Exception:
        return {}
    return saml_settings if isinstance(saml_settings, dict) else {}


def _add_status_route(config, saml_settings):
    from pyramid.exceptions import ConfigurationError
    from pyramid.security import NO_PERMISSION_REQUIRED

    from . import status

    proxies = saml_settings.get(status.STATUS_TRUSTED_PROXIES)
    try:
        networks = status.allowed_networks(saml_settings[status.STATUS_ALLOW])
        trusted = () if proxies is None else status.allowed_networks(proxies, status.STATUS_TRUSTED_PROXIES)
    except ValueError as error:
        raise ConfigurationError(str(error)) from None
    config.add_route("saml_status", "/saml/status")
    # Every method reaches the view, which answers all but GET and HEAD as
    # an unknown path (a request_method predicate would name the view).
    config.add_view(status.StatusView(networks, trusted), route_name="saml_status",
                    permission=NO_PERMISSION_REQUIRED)


def _session_lifetime_asked(saml_settings):
    """Whether an IdP entry gives sessions an end ("session_lifetime" set)."""
    providers = saml_settings.get("identity_providers")
    if not isinstance(providers, dict):
        return False
    return any(isinstance(entry, dict) and entry.get("session_lifetime") is not None for entry in providers.values())


def login_context(request):
    """The SAML login of the request's session, as a new mapping: "idp_id",
    "entity_id", "name_id", "authn_context" (the AuthnContextClassRef the
    IdP sent), "authn_instant" and "session_not_on_or_after" (Unix times or
    None). None when the session holds no SAML login: kept for logins
    through an IdP entry that holds one of the login policy keys."""
    from .login_policy import login_context as read

    return read(request)


def includeme(config):
    """Register the login, ACS and metadata views on their routes, the
    single-logout views when an IdP uses them, the discovery page and feed
    when an IdP entry is a federation's (the site's page of every entry with
    "discovery": true), the status view when the SAML settings allow it, and
    the session tween when an IdP entry gives sessions an end."""
    from . import views

    settings = config.get_settings() or {}
    _start_metrics(settings)
    _follow_toolkit_caches(_saml_settings(settings))
    _add_routes(config, settings, _ROUTES, views)
    if _single_logout_asked(settings):
        from pyramid.security import NO_PERMISSION_REQUIRED

        from . import logout

        _add_routes(config, settings, _LOGOUT_ROUTES, logout)
        # HTTP-POST: the IdP's form post comes from another site (no CSRF
        # token); only for an IdP whose logout messages go by HTTP-POST.
        config.add_view_predicate("velmora_saml_posted_logout", _PostedLogout)
        config.add_view(logout.saml_sls_view, route_name=_route_name(settings, "sls", "saml_sls"),
                        permission=NO_PERMISSION_REQUIRED, request_method="POST", require_csrf=False,
                        velmora_saml_posted_logout=True)
    saml_settings = _saml_settings(settings)
    site_page = saml_settings.get("discovery", False)
    if not isinstance(site_page, bool):
        from pyramid.exceptions import ConfigurationError

        raise ConfigurationError(f'"discovery" must be true or false, not {site_page!r}')
    if _federation_asked(settings) or site_page:
        from . import discovery

        if _federation_asked(settings):
            _add_routes(config, settings, _DISCOVERY_ROUTES, discovery)
        if site_page:
            _add_routes(config, settings, (_SITE_DISCOVERY_ROUTE,), discovery, per_idp=False)
    if saml_settings.get("status_allow") is not None:
        _add_status_route(config, saml_settings)
    if _session_lifetime_asked(saml_settings):
        config.add_tween("velmora_saml.login_policy.SamlSessionTween")
