"""How fast a login's callback is: the plug-in against python3-saml alone and
against the floor of the work, and the views with the toolkit's caches in
and out.

`callback_speed`: each contender runs in a process of its own, started
fresh (spawn), so that the toolkit-alone process never imports the plug-in
and its python3-saml is the one as shipped. Batches are paired: every round
runs one batch of each contender in turn (the order rotating), each batch on
responses signed for it before its clock starts; ratios are taken within a
round, and medians over the rounds.

`views_caches`: the views in one process, the caches put in and taken out
between alternating batches.
"""

import base64
import multiprocessing
import os
import statistics
import sys
import time

from views_bench import _callback_request, _callback_setup, _slo_config, pyramid_request

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
CONTENDERS = ("plugin", "plugin_without_caches", "toolkit_alone", "floor")
DS = "http://www.w3.org/2000/09/xmldsig#"
SAMLP = "urn:oasis:names:tc:SAML:2.0:protocol"
SAML = "urn:oasis:names:tc:SAML:2.0:assertion"
ATTRIBUTES = {"mail": ["alice@example.test"], "displayName": ["Alice Example"],
              "groups": ["staff", "reports", "admins"]}


def signed_response():
    from tests.support import saml_idp

    return saml_idp.build_response("alice@example.test", sign="both", attributes=ATTRIBUTES)


class PluginCallback:
    """The plug-in's saml_callback_view: replay check, 1,000 host users
    mapped, a fresh session, the redirect."""

    def __init__(self, caches):
        import velmora_saml.views as views

        self.views = views
        self.saml, self.ts, self.registry = _callback_setup(1000)
        self.registry.settings["auth_settings"]["authentication_policies"]["saml"]["toolkit_caches"] = caches
        views.remember = lambda request, userid, **kw: []

    def prepare(self, encoded):
        return _callback_request(self.ts, self.registry, encoded)

    def run(self, request):
        response = self.views.saml_callback_view(None, request)
        assert response.location == "https://sp.example.test/home", response.location


class ToolkitAlone:
    """python3-saml's process_response, its settings object built once."""

    def __init__(self):
        from onelogin.saml2.settings import OneLogin_Saml2_Settings

        from tests.support import settings as ts

        self.settings = OneLogin_Saml2_Settings(ts.toolkit_settings("idp1"))
        self.host = ts.SP_HOST

    def prepare(self, encoded):
        return {"https": "on", "http_host": self.host, "script_name": "/saml/acs/idp1", "get_data": {},
                "post_data": {"SAMLResponse": encoded, "RelayState": "/home"}}

    def run(self, request_data):
        from onelogin.saml2.auth import OneLogin_Saml2_Auth

        auth = OneLogin_Saml2_Auth(request_data, self.settings)
        auth.process_response()
        assert auth.is_authenticated() and not auth.get_errors(), auth.get_last_error_reason()


class Floor:
    """The work a login cannot do without: base64, one parse, the protocol
    XSD (compiled once) applied, both signatures checked with the key already
    loaded, the fields read (compiled XPath)."""

    def __init__(self):
        import xmlsec
        from lxml import etree
        from onelogin.saml2 import xml_utils

        from tests.support import settings as ts

        schemas = os.path.join(os.path.dirname(xml_utils.__file__), "schemas")
        with open(os.path.join(schemas, "saml-schema-protocol-2.0.xsd")) as schema_file:
            self.schema = etree.XMLSchema(etree.parse(schema_file))
        self.key = xmlsec.Key.from_memory(ts.read("idp.crt"), xmlsec.KeyFormat.CERT_PEM, None)
        self.parser = etree.XMLParser(resolve_entities=False, no_network=True, remove_comments=False)
        ns = {"ds": DS, "samlp": SAMLP, "saml": SAML}
        self.signatures = etree.XPath("/samlp:Response/ds:Signature | /samlp:Response/saml:Assertion/ds:Signature",
                                      namespaces=ns)
        fields = {
            "status": "/samlp:Response/samlp:Status/samlp:StatusCode/@Value",
            "destination": "/samlp:Response/@Destination",
            "issuers": "/samlp:Response/saml:Issuer/text() | /samlp:Response/saml:Assertion/saml:Issuer/text()",
            "name_id": "/samlp:Response/saml:Assertion/saml:Subject/saml:NameID/text()",
            "confirmation": "/samlp:Response/saml:Assertion/saml:Subject/saml:SubjectConfirmation/"
                            "saml:SubjectConfirmationData/@*",
            "conditions": "/samlp:Response/saml:Assertion/saml:Conditions/@*",
            "audience": "/samlp:Response/saml:Assertion/saml:Conditions/saml:AudienceRestriction/"
                        "saml:Audience/text()",
            "session": "/samlp:Response/saml:Assertion/saml:AuthnStatement/@*",
            "attributes": "/samlp:Response/saml:Assertion/saml:AttributeStatement/saml:Attribute",
        }
        self.fields = {name: etree.XPath(expression, namespaces=ns) for name, expression in fields.items()}
        self.xmlsec = xmlsec
        self.etree = etree

    def prepare(self, encoded):
        return encoded

    def run(self, encoded):
        xmlsec, etree = self.xmlsec, self.etree
        root = etree.fromstring(base64.b64decode(encoded), self.parser)
        assert self.schema.validate(root)
        xmlsec.tree.add_ids(root, ["ID"])
        signatures = self.signatures(root)
        assert len(signatures) == 2
        for signature in signatures:
            context = xmlsec.SignatureContext()
            context.key = self.key
            context.verify(signature)
        read = {name: xpath(root) for name, xpath in self.fields.items()}
        assert read["name_id"] == ["alice@example.test"]
        values = {a.get("Name"): [v.text for v in a] for a in read["attributes"]}
        assert values == ATTRIBUTES


def _contender(name):
    if name == "plugin":
        return PluginCallback(True)
    if name == "plugin_without_caches":
        return PluginCallback(False)
    if name == "toolkit_alone":
        return ToolkitAlone()
    return Floor()


def _worker(name, conn):
    """One contender's process: answers each batch size with seconds per call."""
    import logging

    sys.path[:0] = [os.path.join(ROOT, "host"), ROOT, BENCH]
    logging.getLogger("velmora").setLevel(logging.WARNING)
    logging.getLogger().setLevel(logging.ERROR)
    contender = _contender(name)
    plugin_loaded = "velmora_saml" in sys.modules
    conn.send(("ready", plugin_loaded, len(base64.b64decode(signed_response()))))
    while True:
        batch = conn.recv()
        if batch is None:
            return
        inputs = [contender.prepare(signed_response()) for _ in range(batch)]
        start = time.perf_counter()
        for one in inputs:
            contender.run(one)
        conn.send((time.perf_counter() - start) / batch)


def callback_speed(quick):
    """The callback, python3-saml alone and the floor: µs per login and the ratios."""
    batch, rounds = (10, 4) if quick else (40, 15)
    context = multiprocessing.get_context("spawn")
    workers = {}
    for name in CONTENDERS:
        here, there = context.Pipe()
        process = context.Process(target=_worker, args=(name, there), daemon=True)
        process.start()
        workers[name] = (process, here)
    try:
        facts = {name: conn.recv() for name, (_, conn) in workers.items()}
        times = {name: [] for name in CONTENDERS}
        for round_number in range(rounds + 1):
            order = CONTENDERS[round_number % len(CONTENDERS):] + CONTENDERS[:round_number % len(CONTENDERS)]
            for name in order:
                workers[name][1].send(batch)
                seconds = workers[name][1].recv()
                if round_number:  # the first round warms up
                    times[name].append(seconds)
    finally:
        for process, conn in workers.values():
            conn.send(None)
        for process, _ in workers.values():
            process.join(30)

    def ratios(numerator, denominator):
        per_round = [a / b for a, b in zip(times[numerator], times[denominator])]
        return {"median": statistics.median(per_round), "min": min(per_round), "max": max(per_round)}

    assert facts["toolkit_alone"][1] is False, "the toolkit-alone process imported the plug-in"
    return {"callback_speed": {
        "us": {name: statistics.median(values) * 1e6 for name, values in times.items()},
        "toolkit_alone_over_plugin": ratios("toolkit_alone", "plugin"),
        "plugin_over_floor": ratios("plugin", "floor"),
        "without_over_with_caches": ratios("plugin_without_caches", "plugin"),
        "toolkit_alone_over_floor": ratios("toolkit_alone", "floor"),
        "response_bytes": facts["plugin"][2], "batch": batch, "rounds": rounds,
    }}


def view_site():
    """(saml, ts, registry, views): the site of the callback benchmarks with an
    IdP that logs out, and its SSO, metadata and logout views as calls that
    check their answer."""
    import velmora_saml.logout as logout
    import velmora_saml.views as views
    from tests.support import saml_logout

    saml, ts, registry = _callback_setup(1000)
    views.remember = lambda request, userid, **kw: []
    logout.forget = lambda request, **kw: []
    registry.settings["auth_settings"]["authentication_policies"]["saml"]["identity_providers"]["slo"] = \
        _slo_config(ts)

    def routed(path, idp_id):
        request = pyramid_request(path, ts.SP_HOST)
        request.registry = registry
        request.matchdict = {"idp_id": idp_id}
        return request

    def sso():
        assert views.saml_sso_view(None, routed("/sso/saml/idp1", "idp1")).status_int == 302

    def metadata():
        assert views.saml_metadata_view(None, routed("/saml/metadata/idp1", "idp1")).status_int == 200

    def logout_here():
        assert logout.saml_logout_view(None, routed("/saml/logout/slo", "slo")).status_int == 302

    query = saml_logout.redirect_query(saml_logout.logout_request(idp_id="slo"))

    def logout_from_idp():
        response = logout.saml_sls_view(None, routed(f"/saml/sls/slo?{query}", "slo"))
        assert response.status_int == 302 and "SAMLResponse=" in response.location, response.location

    return saml, ts, registry, {"sso_view": sso, "metadata_view": metadata, "logout_view": logout_here,
                                "sls_view_idp_request": logout_from_idp}


def views_caches(quick):
    """The SSO, metadata and logout views and the callback, the caches put in
    and taken out between alternating batches: time without / time with."""
    import velmora_saml.toolkit_caches as toolkit_caches
    import velmora_saml.views as views

    saml, ts, registry, site_views = view_site()
    saml_settings = registry.settings["auth_settings"]["authentication_policies"]["saml"]

    batch, rounds = (10, 5) if quick else (60, 15)
    callback_batch = 4 if quick else 15
    requests = iter([_callback_request(ts, registry, signed_response())
                     for _ in range(callback_batch * (rounds + 1) * 2)])

    def callback():
        assert views.saml_callback_view(None, next(requests)).location == "https://sp.example.test/home"

    out = {}
    saml.responses_tracker_mem.reset()
    timed_views = [(name, fn, batch) for name, fn in site_views.items()] + [("callback_view", callback, callback_batch)]
    for name, fn, size in timed_views:
        timed = {True: [], False: []}
        for round_number in range(rounds + 1):
            for caches in ((True, False) if round_number % 2 else (False, True)):
                # The views follow the key: the first call of a batch puts
                # the caches in or takes them out.
                saml_settings["toolkit_caches"] = caches
                fn()
                assert toolkit_caches.installed() is caches
                start = time.perf_counter()
                for _ in range(size - 1):
                    fn()
                if round_number:
                    timed[caches].append((time.perf_counter() - start) / (size - 1))
        per_round = [off / on for on, off in zip(timed[True], timed[False])]
        out[name] = {"with_us": statistics.median(timed[True]) * 1e6,
                     "without_us": statistics.median(timed[False]) * 1e6,
                     "ratio": statistics.median(per_round), "ratio_min": min(per_round),
                     "ratio_max": max(per_round)}
    saml.responses_tracker_mem.reset()
    saml_settings.pop("toolkit_caches")
    return {"views_caches": out}


# The family's scenarios, as run.py registers them.
SCENARIOS = {"callback_speed": callback_speed, "views_caches": views_caches}
