"""Mounting the plug-in with config.include("velmora_saml")."""

import subprocess
import sys

import pytest
import webtest
from pyramid.config import Configurator
from pyramid.exceptions import ConfigurationError
from pyramid.httpexceptions import HTTPOk
from pyramid.interfaces import IRoutesMapper
from pyramid.security import Denied
from pyramid.session import SignedCookieSessionFactory

import velmora_saml.views as views


@pytest.fixture
def called(monkeypatch):
    """Replaces the three views (before includeme picks them up) with recorders."""
    calls = []
    for name in ("saml_sso_view", "saml_callback_view", "saml_metadata_view"):
        def view(context, request, name=name):
            calls.append((name, request.method, request.matchdict))
            return HTTPOk(body=name)

        monkeypatch.setattr(views, name, view)
    return calls


def build(settings=None, route_prefix=None, csrf=False):
    with Configurator(settings=settings or {}) as config:
        if csrf:
            config.set_default_csrf_options(require_csrf=True)
            config.set_session_factory(SignedCookieSessionFactory("test-secret"))
        config.include("velmora_saml", route_prefix=route_prefix)
        # A host that locks everything down by default must still let anyone log in.
        config.set_default_permission("view")
        config.set_security_policy(DenyAll())
        return config.make_wsgi_app()


class DenyAll:
    def identity(self, request):
        return None

    def authenticated_userid(self, request):
        return None

    def permits(self, request, context, permission):
        return Denied("no one")

    def remember(self, request, userid, **kw):
        return []

    def forget(self, request, **kw):
        return []


def routes(wsgi):
    mapper = wsgi.registry.getUtility(IRoutesMapper)
    return {route.name: route.pattern for route in mapper.get_routes()}


class TestDefaultRoutes:
    def test_names_and_patterns(self, called):
        assert routes(build()) == {
            "saml_sso": "/sso/saml/{idp_id}",
            "saml_acs": "/saml/acs/{idp_id}",
            "saml_metadata": "/saml/metadata/{idp_id}",
        }

    def test_each_route_reaches_its_view_without_permission(self, called):
        app = webtest.TestApp(build())
        assert app.get("/sso/saml/idp1?return_to=/x").text == "saml_sso_view"
        assert app.post("/saml/acs/idp1", {"SAMLResponse": "x"}).text == "saml_callback_view"
        assert app.get("/saml/metadata/idp1").text == "saml_metadata_view"
        assert [(name, method, md["idp_id"]) for name, method, md in called] == [
            ("saml_sso_view", "GET", "idp1"),
            ("saml_callback_view", "POST", "idp1"),
            ("saml_metadata_view", "GET", "idp1"),
        ]

    def test_acs_takes_post_only(self, called):
        app = webtest.TestApp(build())
        app.get("/saml/acs/idp1", status=404)
        assert called == []

    def test_acs_post_from_the_idp_needs_no_csrf_token(self, called):
        app = webtest.TestApp(build(csrf=True))
        assert app.post("/saml/acs/idp1", {"SAMLResponse": "x"}).text == "saml_callback_view"

    def test_route_prefix(self, called):
        app = webtest.TestApp(build(route_prefix="/auth"))
        app.post("/auth/saml/acs/idp1", {"SAMLResponse": "x"})
        app.post("/saml/acs/idp1", {"SAMLResponse": "x"}, status=404)
        assert [name for name, _, _ in called] == ["saml_callback_view"]


class TestOverrides:
    def test_names_and_patterns_from_settings(self, called):
        wsgi = build({
            "velmora_saml.route.sso": "/login/{idp_id}",
            "velmora_saml.route_name.acs": "acs",
            "velmora_saml.route.acs": "/login/{idp_id}/acs",
            "velmora_saml.route.metadata": "/meta/{idp_id:[a-z0-9]+}.xml",
        })
        assert routes(wsgi) == {
            "saml_sso": "/login/{idp_id}",
            "acs": "/login/{idp_id}/acs",
            "saml_metadata": "/meta/{idp_id:[a-z0-9]+}.xml",
        }
        app = webtest.TestApp(wsgi)
        app.post("/login/idp2/acs", {"SAMLResponse": "x"})
        app.get("/meta/idp3.xml")
        assert [(name, md["idp_id"]) for name, _, md in called] == [
            ("saml_callback_view", "idp2"), ("saml_metadata_view", "idp3"),
        ]

    def test_pattern_without_idp_id_is_refused(self, called):
        with pytest.raises(ConfigurationError, match="velmora_saml.route.acs"):
            build({"velmora_saml.route.acs": "/saml/acs"})


def test_package_import_needs_neither_pyramid_nor_host():
    code = (
        "import sys; sys.modules['pyramid'] = None; sys.modules['velmora'] = None\n"
        "import velmora_saml; assert callable(velmora_saml.includeme)\n"
        "assert 'velmora_saml.views' not in sys.modules"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_routes_the_compiled_views():
    wsgi = build()
    # The real callback view, on an app without auth settings: its KeyError
    # shows it was reached.
    with pytest.raises(KeyError, match="vlm_settings"):
        webtest.TestApp(wsgi).post("/saml/acs/idp1", {"SAMLResponse": "x"})


class TestLogoutRoutes:
    """The single-logout routes come with an IdP that asks for them."""

    def settings(self, **more):
        entry = {"enabled": True, "single_logout": True}
        return {"auth_settings": {"authentication_policies": {"saml": {"identity_providers": {"a": entry}}}},
                **more}

    def test_an_idp_with_single_logout_brings_them(self):
        assert routes(build(self.settings())) == {
            "saml_sso": "/sso/saml/{idp_id}",
            "saml_acs": "/saml/acs/{idp_id}",
            "saml_metadata": "/saml/metadata/{idp_id}",
            "saml_logout": "/saml/logout/{idp_id}",
            "saml_sls": "/saml/sls/{idp_id}",
        }

    @pytest.mark.parametrize("auth_settings", [
        None, {}, {"authentication_policies": None}, {"authentication_policies": {"saml": {"identity_providers": None}}},
        {"authentication_policies": {"saml": {"identity_providers": {"a": "not a mapping", "b": {"single_logout": 1}}}}},
    ])
    def test_settings_of_any_other_shape_bring_none(self, auth_settings):
        assert set(routes(build({"auth_settings": auth_settings}))) == {"saml_sso", "saml_acs", "saml_metadata"}

    def test_names_and_patterns_from_settings(self):
        wsgi = build({"velmora_saml.route.sls": "/slo/{idp_id}", "velmora_saml.route_name.logout": "bye"})
        assert {"bye": "/saml/logout/{idp_id}", "saml_sls": "/slo/{idp_id}"}.items() <= routes(wsgi).items()

    def test_pattern_without_idp_id_is_refused(self):
        with pytest.raises(ConfigurationError, match="velmora_saml.route.logout"):
            build(self.settings(**{"velmora_saml.route.logout": "/bye"}))

    def test_they_reach_the_logout_views_without_permission_or_csrf_token(self, monkeypatch):
        import velmora_saml.logout as logout

        calls = []
        for name in ("saml_logout_view", "saml_sls_view"):
            monkeypatch.setattr(logout, name, lambda context, request, name=name: calls.append(name) or HTTPOk())
        app = webtest.TestApp(build(self.settings(), csrf=True))
        app.get("/saml/logout/a")
        app.post("/saml/logout/a")
        app.get("/saml/sls/a?SAMLRequest=x")
        app.post("/saml/sls/a", status=404)
        assert calls == ["saml_logout_view", "saml_logout_view", "saml_sls_view"]
