"""The views' scenarios: SSO, callback, audit record, the shared settings
object, profiles, logins during a metadata refresh, and the plug-in's
in-process work (user mapping, return URL, in-memory replay cleanup).
Each scenario is fn(quick) and returns the figures it adds to results.json;
bench/run.py registers them."""

import statistics
import threading
import time

from timing import measure, measure_each, paired


def pyramid_request(path, host, **kwargs):
    from pyramid.request import Request
    from pyramid.testing import DummySession

    request = Request.blank(path, headers={"Host": host}, base_url=f"https://{host}", **kwargs)
    request.session = DummySession()
    return request


class Registry:
    """Stands in for the host's Pyramid registry: the settings the views read."""

    def __init__(self, settings):
        self.settings = settings


def sso_view(quick):
    import velmora_saml.views as views
    from tests.support import settings as ts

    auth = ts.auth_settings(("idp1", ts.idp_config("idp1")))
    registry = Registry({"auth_settings": auth})

    def call():
        request = pyramid_request("/sso/saml/idp1", ts.SP_HOST)
        request.registry = registry
        request.matchdict = {"idp_id": "idp1"}
        response = views.saml_sso_view(None, request)
        assert response.status_int == 302

    return {"sso_view": measure(call, 50 if quick else 200)}


def _callback_setup(n_users):
    import velmora_saml.saml as saml
    from tests.support import settings as ts
    from velmora.configs import UserConfig
    from velmora.storage import ConfigStorage

    users = {f"u{i}": UserConfig(f"user{i}", email=f"user{i}@example.test") for i in range(n_users - 1)}
    users["target"] = UserConfig("alice", email="alice@example.test")
    storage = ConfigStorage(users)
    auth = ts.auth_settings(("idp1", ts.idp_config("idp1")))
    registry = Registry({"auth_settings": auth, "vlm_settings": {"config_storage": storage}})
    return saml, ts, registry


def _callback_request(ts, registry, encoded):
    request = pyramid_request("/saml/acs/idp1", ts.SP_HOST, POST={"SAMLResponse": encoded, "RelayState": "/home"})
    request.registry = registry
    request.matchdict = {"idp_id": "idp1"}
    return request


class CannedAuth:
    """Stands in for the toolkit's auth object: a valid, signed-off response."""

    counter = 0

    def __init__(self, request, settings):
        self.request = request

    def process_response(self, request_id=None):
        CannedAuth.counter += 1

    def get_errors(self):
        return []

    def is_authenticated(self):
        return True

    def get_last_message_id(self):
        return f"_resp{CannedAuth.counter}"

    def get_last_assertion_id(self):
        return f"_assert{CannedAuth.counter}"

    def get_last_assertion_not_on_or_after(self):
        return time.time() + 300

    # The replay check reads the toolkit's strictness and the response
    # document (none here: the expiration above is the whole limit).
    def get_settings(self):
        return self

    def is_strict(self):
        return True

    def get_last_response_xml(self):
        return None

    def get_attributes(self):
        return {}

    def get_nameid(self):
        return "alice@example.test"

    def redirect_to(self, url=None, parameters={}, request_data={}):
        return "https://sp.example.test" + (url or "/")


class StopAfterTransformCheck:
    """A toolkit auth object that ends process_saml_response right after the
    transform check (it reports an error)."""

    def process_response(self, request_id=None):
        pass

    def get_errors(self):
        return ["stop"]

    def get_last_error_reason(self):
        return "stop"


def transform_check_cost(encoded, batch):
    """Seconds the transform check adds to process_saml_response (median)."""
    import velmora_saml.saml as saml

    def call(post_data):
        idp = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
        idp.request = {"post_data": post_data}
        idp.saml_auth = StopAfterTransformCheck()

        def run():
            try:
                idp.process_saml_response()
            except ValueError:
                pass

        return run

    with_check = measure(call({"SAMLResponse": encoded}), batch)
    without = measure(call({}), batch)
    return {"median": with_check["median"] - without["median"], "with_check": with_check, "without": without}


def callback_view(quick):
    import pyramid.security

    import velmora_saml.views as views
    from tests.support import saml_idp

    saml, ts, registry = _callback_setup(1000)
    pyramid.security.remember = lambda request, userid, **kw: []
    views.remember = lambda request, userid, **kw: []
    n = 60 if quick else 300
    encoded = [saml_idp.build_response("alice@example.test", sign="both") for _ in range(n)]

    # Requests are built before the clock starts: building a Pyramid request
    # is the host's work. WebOb parses the form body lazily, inside the view.
    def one(request):
        def run():
            response = views.saml_callback_view(None, request)
            assert response.location == "https://sp.example.test/home", response.location
        return run

    saml.responses_tracker_mem.reset()
    real = measure_each([one(_callback_request(ts, registry, e)) for e in encoded])
    saml.responses_tracker_mem.reset()

    original = saml.OneLogin_Saml2_Auth
    saml.OneLogin_Saml2_Auth = CannedAuth
    try:
        canned = [one(_callback_request(ts, registry, encoded[0])) for _ in range(n * 3)]
        fake = measure_each(canned)
    finally:
        saml.OneLogin_Saml2_Auth = original
        saml.responses_tracker_mem.reset()

    # What the canned run still spends outside the plug-in: WebOb parsing the
    # posted form and building the redirect response.
    form_parse = measure_each([(lambda r: (lambda: r.POST))(_callback_request(ts, registry, encoded[0]))
                               for _ in range(n * 3)])
    from pyramid.httpexceptions import HTTPFound

    redirect = measure(lambda: HTTPFound("https://sp.example.test/home"), 500)

    # The transform allow-list check alone, on a real response: the same call
    # with and without the posted form field, the toolkit stopping the call
    # right after the check.
    check = transform_check_cost(encoded[0], 200 if quick else 2000)
    own = fake["median"] - form_parse["median"] - redirect["median"]
    result = {"callback_real": real, "callback_canned_toolkit": fake,
              "plugin_share": fake["median"] / real["median"],
              "webob_form_parse": form_parse, "httpfound": redirect,
              "plugin_own_share": own / real["median"]}
    result["transform_check"] = check
    result["transform_check_share"] = check["median"] / real["median"]
    return result


def audit_record(quick):
    """What the audit record of a callback costs (velmora_saml.audit.login),
    written through a handler with a usual format, against the real callback
    measured here too; then the same with "metrics": true."""
    import io
    import logging

    import velmora_saml.views as views
    from tests.support import saml_idp
    from velmora_saml import audit

    saml, ts, registry = _callback_setup(1000)
    views.remember = lambda request, userid, **kw: []
    n = 40 if quick else 200
    encoded = [saml_idp.build_response("alice@example.test", sign="both") for _ in range(n)]
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s [%(name)s] %(message)s"))
    logger = logging.getLogger("velmora_saml.audit")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    logger.propagate = False
    saml.responses_tracker_mem.reset()
    try:
        real = measure_each([(lambda r: lambda: views.saml_callback_view(None, r))(_callback_request(ts, registry, e))
                             for e in encoded])
        # One accepted response and its SamlIDPConfig, recorded again and again.
        request = _callback_request(ts, registry, saml_idp.build_response("alice@example.test", sign="both"))
        config = registry.settings["auth_settings"]["authentication_policies"]["saml"]["identity_providers"]["idp1"]
        idp = saml.SamlIDPConfig(config, request, registry.settings["vlm_settings"]["config_storage"].users,
                                 saml.responses_tracker_mem)
        idp.process_saml_response()
        user_id = idp.get_user_id()
        batch = 500 if quick else 5000

        def record():
            audit.login(request, "idp1", None, idp, user_id, 0.009)

        reset = lambda: (stream.seek(0), stream.truncate())  # noqa: E731
        plain = measure(record, batch, setup=reset)
        audit.enable_metrics()
        with_metrics = measure(record, batch, setup=reset)
    finally:
        logger.removeHandler(handler)
        saml.responses_tracker_mem.reset()
    return {"audit_callback_real": real, "audit_record": plain, "audit_record_metrics": with_metrics,
            "audit_share": plain["median"] / real["median"],
            "audit_metrics_share": with_metrics["median"] / real["median"]}


def refresh_login(quick):
    """Logins of IdPs whose signed metadata is refreshed. Paired: batches of
    logins to an IdP whose refresh is in flight (its fetch held by the
    metadata server) alternate with batches to a twin IdP with none. Then
    refreshes of one IdP run back to back in the background while logins to
    the twin are measured, between two rounds without."""
    import pyramid.security

    import velmora_saml.idp_metadata as idp_metadata
    import velmora_saml.saml as saml
    import velmora_saml.views as views
    from tests.support import idp_metadata as md
    from tests.support import saml_idp
    from tests.support import settings as ts
    from velmora.configs import UserConfig
    from velmora.storage import ConfigStorage

    views.remember = lambda request, userid, **kw: []
    pyramid.security.remember = views.remember
    server = md.MetadataServer()
    timeout_before = vars(saml.SamlIDPConfig).get("saml_http_timeout")
    try:
        idp = md.PublishedIdP(server, "/idp.xml", keys=(md.OLD_KEY, md.NEW_KEY))
        configs = {}
        for idp_id in ("held", "twin"):
            settings = ts.toolkit_settings(idp_id)
            settings["idp"] = {"metadata": idp.url}
            configs[idp_id] = ts.idp_config(idp_id, settings=settings, metadata_refresh_interval=3600,
                                            metadata_signing_cert=ts.read("metadata_signer.crt"))
        storage = ConfigStorage({"target": UserConfig("alice", email="alice@example.test")})
        registry = Registry({"auth_settings": ts.auth_settings(*configs.items()),
                             "vlm_settings": {"config_storage": storage}})
        rounds, sso_batch, callbacks_per_round = (3, 30, 10) if quick else (7, 100, 20)
        responses = {idp_id: iter([saml_idp.build_response("alice@example.test", sign="both", idp_id=idp_id)
                                   for _ in range(4 * rounds * callbacks_per_round)]) for idp_id in configs}

        def sso(idp_id):
            request = pyramid_request(f"/sso/saml/{idp_id}", ts.SP_HOST)
            request.registry = registry
            request.matchdict = {"idp_id": idp_id}
            assert views.saml_sso_view(None, request).status_int == 302

        def callback(idp_id):
            request = pyramid_request(f"/saml/acs/{idp_id}", ts.SP_HOST,
                                      POST={"SAMLResponse": next(responses[idp_id]), "RelayState": "/home"})
            request.registry = registry
            request.matchdict = {"idp_id": idp_id}

            def run():
                assert views.saml_callback_view(None, request).location == "https://sp.example.test/home"
            return run

        def batches(idp_id, samples):
            saml.responses_tracker_mem.reset()
            samples["sso"].append(measure(lambda: sso(idp_id), sso_batch, repeats=1)["median"])
            samples["callback"].append(measure_each([callback(idp_id) for _ in range(callbacks_per_round)])["median"])

        def medians(samples):
            return {kind: statistics.median(values) for kind, values in samples.items()}

        saml.SamlIDPConfig.cached_saml_settings.clear()
        # The held fetch must outlast the measurement: the process's fetch time-out.
        saml.SamlIDPConfig.saml_http_timeout = 600
        for idp_id in configs:
            sso(idp_id)  # first loads
        hold = md.Hold()
        server.behaviours["/idp.xml"] = hold
        idp_metadata.force_refresh("held")
        sso("held")
        hold.arrived.wait(10)
        held, twin = {"sso": [], "callback": []}, {"sso": [], "callback": []}
        for _ in range(rounds):
            batches("held", held)
            batches("twin", twin)
        assert idp_metadata.metadata_status("held")["refreshing"]
        hold.release()
        del server.behaviours["/idp.xml"]
        while idp_metadata.metadata_status("held")["refreshing"]:
            time.sleep(0.01)

        quiet_before, busy, quiet_after = ({"sso": [], "callback": []} for _ in range(3))
        for _ in range(rounds):
            batches("twin", quiet_before)
        # Every login of "held" that finds no refresh running starts the next.
        saml.SamlIDPConfig.cached_saml_settings.pop("held")
        configs["held"]["metadata_refresh_interval"] = 1e-6
        sso("held")
        started, refreshes = time.perf_counter(), idp_metadata.metadata_status("held")["refreshes"]
        stop = threading.Event()

        def keep_refreshing():
            while not stop.is_set():
                sso("held")
                time.sleep(0.005)

        driver = threading.Thread(target=keep_refreshing)
        driver.start()
        try:
            for _ in range(rounds):
                batches("twin", busy)
        finally:
            stop.set()
            driver.join()
        rate = (idp_metadata.metadata_status("held")["refreshes"] - refreshes) / (time.perf_counter() - started)
        while idp_metadata.metadata_status("held")["refreshing"]:
            time.sleep(0.01)
        for _ in range(rounds):
            batches("twin", quiet_after)

        result = {"refresh_busy_refreshes_per_s": rate}
        for label, samples in (("held", held), ("twin", twin), ("quiet_before", quiet_before), ("busy", busy),
                               ("quiet_after", quiet_after)):
            for kind, value in medians(samples).items():
                result[f"refresh_{label}_{kind}"] = value
        for kind in ("sso", "callback"):
            result[f"refresh_held_{kind}_ratio"] = result[f"refresh_held_{kind}"] / result[f"refresh_twin_{kind}"]
            quiet = (result[f"refresh_quiet_before_{kind}"] + result[f"refresh_quiet_after_{kind}"]) / 2
            result[f"refresh_busy_{kind}_ratio"] = result[f"refresh_busy_{kind}"] / quiet
        return result
    finally:
        saml.SamlIDPConfig.cached_saml_settings.clear()
        # Its records would keep the refresh schedule fetching "held" (its
        # interval now a microsecond) from the closed server for the rest of the run.
        idp_metadata.forget_all_records()
        if timeout_before is None:
            del saml.SamlIDPConfig.saml_http_timeout
        else:
            saml.SamlIDPConfig.saml_http_timeout = timeout_before
        server.close()


def _slo_config(ts):
    settings = ts.toolkit_settings("slo")
    settings["idp"]["singleLogoutService"] = {"url": "https://idp.example.test/slo"}
    settings["sp"]["singleLogoutService"] = {"url": f"https://{ts.SP_HOST}/saml/sls/slo"}
    return ts.idp_config("slo", settings=settings, single_logout=True)


def shared_settings(quick):
    """The toolkit's settings object made once per IdP, against the same
    entry points making it for every request, in paired batches. The
    per-request side is the toolkit's auth class under another name (a
    subclass adding nothing), which the plug-in hands the settings mapping,
    as it did before; the swap of the module names costs both sides a few
    attribute stores per call."""
    import copy
    import tracemalloc

    import pyramid.security
    from onelogin.saml2.auth import OneLogin_Saml2_Auth
    from onelogin.saml2.settings import OneLogin_Saml2_Settings

    import velmora_saml.logout as logout
    import velmora_saml.views as views
    from tests.support import saml_idp

    saml, ts, registry = _callback_setup(1000)
    pyramid.security.remember = views.remember = lambda request, userid, **kw: []
    logout.forget = lambda request, **kw: []
    auth = registry.settings["auth_settings"]
    auth["authentication_policies"]["saml"]["identity_providers"]["slo"] = _slo_config(ts)
    saml.SamlIDPConfig.cached_saml_settings.clear()

    class PerRequest(OneLogin_Saml2_Auth):
        """The toolkit's auth class under another name."""

    def names(auth_class):
        saml.OneLogin_Saml2_Auth = logout.OneLogin_Saml2_Auth = auth_class

    def per_request(fn):
        def run():
            names(PerRequest)
            try:
                fn()
            finally:
                names(OneLogin_Saml2_Auth)
        return run

    def routed(path, idp_id, **kwargs):
        request = pyramid_request(path, ts.SP_HOST, **kwargs)
        request.registry = registry
        request.matchdict = {"idp_id": idp_id}
        return request

    sso_request = routed("/sso/saml/idp1", "idp1")
    metadata_request = routed("/saml/metadata/idp1", "idp1")
    idp1 = auth["authentication_policies"]["saml"]["identity_providers"]["idp1"]

    def sso():
        assert views.saml_sso_view(None, sso_request).status_int == 302

    def metadata():
        assert views.saml_metadata_view(None, metadata_request).status_int == 200

    def logout_view():
        request = routed("/saml/logout/slo", "slo")
        location = logout.saml_logout_view(None, request).location
        assert location == "https://sp.example.test/", location

    def dry_run():
        saml.SamlIDPConfig.validate_idp_config(idp1)

    batch, rounds = (20, 7) if quick else (100, 21)
    out = {}
    for name, fn in (("sso_view", sso), ("metadata_view", metadata), ("logout_view", logout_view),
                     ("validate_idp_config", dry_run)):
        fn()
        out[name] = paired(fn, per_request(fn), batch, rounds)

    # Every callback needs its own signed response; requests are built ahead.
    callback_batch, callback_rounds = (4, 5) if quick else (10, 15)
    count = callback_batch * (callback_rounds + 1) * 2
    requests = iter([_callback_request(ts, registry, saml_idp.build_response("alice@example.test", sign="both"))
                     for _ in range(count)])

    def callback():
        assert views.saml_callback_view(None, next(requests)).location == "https://sp.example.test/home"

    saml.responses_tracker_mem.reset()
    out["callback_view"] = paired(callback, per_request(callback), callback_batch, callback_rounds)
    saml.responses_tracker_mem.reset()

    # What telling an in-place edit costs a request: the comparison of the
    # cached mapping with its copy.
    mapping = saml.SamlIDPConfig.cached_saml_settings["idp1"]
    snapshot = copy.deepcopy(mapping)
    out["edit_check"] = measure(lambda: snapshot == mapping, 20000)
    out["settings_build"] = measure(lambda: OneLogin_Saml2_Settings(mapping), 200)

    # What one IdP's entry holds beyond the mapping the cache keeps anyway.
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    kept = (OneLogin_Saml2_Settings(mapping), copy.deepcopy(mapping))
    out["entry_bytes"] = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    del kept
    return {"shared_settings": out}


def _profile(calls, n, groups):
    """cProfile over the given zero-argument calls: seconds per call, the
    functions that take the most time of their own, and the share (with
    callees) of the functions named in `groups` (label: (file, function)).
    The calling lambda's own time is the C++ and what it calls without
    going through a Python function."""
    import cProfile
    import pstats

    profiler = cProfile.Profile()
    profiler.enable()
    for call in calls:
        call()
    profiler.disable()
    stats = pstats.Stats(profiler)
    total = stats.total_tt
    rows = []
    for (filename, line, function), (_, calls_made, own, cumulative, _) in stats.stats.items():
        where = filename.split("site-packages/")[-1].split("lib/python3")[-1]
        rows.append({"function": f"{where}:{line}({function})", "calls_per_call": calls_made / n,
                     "own_share": own / total, "cumulative_share": cumulative / total})
    rows.sort(key=lambda row: row["own_share"], reverse=True)
    # The C++ has no frame: its calls show the lambda as their caller. The
    # lambdas are profiles' own, in this file, so they are told by __file__.
    def from_plugin(caller):
        return caller[0] == __file__ and caller[2] == "<lambda>"

    shares = {}
    for label, (file_part, function, *plugin_only) in groups.items():
        spent = 0.0
        for (filename, _, name), (_, _, _, cumulative, callers) in stats.stats.items():
            if file_part in filename and name == function:
                spent += (sum(entry[3] for caller, entry in callers.items() if from_plugin(caller))
                          if plugin_only else cumulative)
        shares[label] = spent / total
    lambdas = [own for key, (_, _, own, _, _) in stats.stats.items() if from_plugin(key)]
    shares["the plug-in's C++ (own time of the calling lambda)"] = sum(lambdas) / total
    return {"seconds_per_call": total / n, "groups": shares, "by_own_time": rows[:25]}


def profiles(quick):
    """Where a callback (real signed responses) and a metadata view spend
    their time, by function, with the settings object shared. The profiler's
    own cost inflates the share of small Python calls; the ranking is what
    counts."""
    import pyramid.security

    import velmora_saml.views as views
    from tests.support import saml_idp

    saml, ts, registry = _callback_setup(1000)
    pyramid.security.remember = views.remember = lambda request, userid, **kw: []
    n = 30 if quick else 200
    requests = [_callback_request(ts, registry, saml_idp.build_response("alice@example.test", sign="both"))
                for _ in range(n + 5)]
    saml.responses_tracker_mem.reset()
    for request in requests[:5]:  # warm-up, settings assembled
        views.saml_callback_view(None, request)
    callback_groups = {
        "toolkit: the whole response check (Response.is_valid)": ("saml2/response.py", "is_valid"),
        "  XSD schema read from its file, compiled, applied (validate_xml)": ("saml2/xml_utils.py", "validate_xml"),
        "  XPath queries (query)": ("saml2/xml_utils.py", "query"),
        "  signatures (validate_node_sign)": ("saml2/utils.py", "validate_node_sign"),
        "  SAML times parsed (parse_SAML_to_time)": ("saml2/utils.py", "parse_SAML_to_time"),
        "  with the caches: the compiled schema applied (validate_xml)": ("toolkit_caches.py", "validate_xml"),
        "  with the caches: XPath queries, compiled once (query)": ("toolkit_caches.py", "query"),
        "  with the caches: signatures, keys kept (validate_node_sign)": ("toolkit_caches.py", "validate_node_sign"),
        "  with the caches: SAML times, each text once (parse_SAML_to_time)": ("toolkit_caches.py",
                                                                             "parse_SAML_to_time"),
        "toolkit: the response decoded and parsed (Response.__init__)": ("saml2/response.py", "__init__"),
        "toolkit: XML parsed, all callers (xmlparser.fromstring)": ("saml2/xmlparser.py", "fromstring"),
        "toolkit: auth object made (Auth.__init__)": ("saml2/auth.py", "__init__"),
        "plug-in: its own parses, transform check and time limits (to_etree)": ("saml2/xml_utils.py", "to_etree",
                                                                                "plugin"),
        "plug-in: the serialised response it parses (get_last_response_xml)": ("saml2/auth.py",
                                                                               "get_last_response_xml", "plugin"),
        "WebOb: the posted form": ("webob/request.py", "POST"),
        "Pyramid: the redirect (HTTPFound)": ("pyramid/httpexceptions.py", "__init__"),
    }
    out = {"callback_view": _profile([lambda r=r: views.saml_callback_view(None, r) for r in requests[5:]], n,
                                     callback_groups)}
    saml.responses_tracker_mem.reset()
    request = pyramid_request("/saml/metadata/idp1", ts.SP_HOST)
    request.registry = registry
    request.matchdict = {"idp_id": "idp1"}
    views.saml_metadata_view(None, request)
    metadata_groups = {
        "toolkit: document built (get_sp_metadata)": ("saml2/settings.py", "get_sp_metadata"),
        "toolkit: document checked (validate_metadata)": ("saml2/settings.py", "validate_metadata"),
        "  XSD schema read from its file, compiled, applied (validate_xml)": ("saml2/xml_utils.py", "validate_xml"),
        "toolkit: auth object made (Auth.__init__)": ("saml2/auth.py", "__init__"),
    }
    out["metadata_view"] = _profile([lambda: views.saml_metadata_view(None, request)] * n, n, metadata_groups)
    return {"profiles": out}


def user_mapping(quick):
    import velmora_saml.saml as saml
    from velmora.configs import UserConfig

    out = {}
    for n in (1_000, 10_000, 100_000):
        users = {f"u{i}": UserConfig(f"user{i}", email=f"user{i}@example.test") for i in range(n - 1)}
        users["target"] = UserConfig("alice", email="alice@example.test")
        idp = saml.SamlIDPConfig.__new__(saml.SamlIDPConfig)
        idp.users = users
        idp.idp_config = {"idp_name": "idp1"}
        idp.saml_auth_attribute = "mail"
        idp.user_config_attribute = "email"
        idp.saml_auth_regex = None
        attributes = {"mail": [" alice@example.test "]}
        batch = max(3, 300_000 // n) if not quick else max(2, 30_000 // n)
        out[n] = measure(lambda: idp._get_mapped_user_id(attributes), batch)
    return {"user_mapping": out}


RETURN_URL_CASES = {
    "path": "/reports/7?x=1",
    "same host, absolute": "https://sp.example.test:8443/a",
    "other host": "https://evil.example/",
    "consumer URL": "/saml/acs/idp1/",
    "login start": "/./sso/saml/idp1",
    "unsafe characters": "/a b",
    "empty": "",
}


def return_url(quick):
    """get_return_to_url against its Python twin (bench/return_url_twin.py),
    on the real toolkit: each relay state alone and all of them in turn."""
    import logging

    from bench import return_url_twin
    from tests.support.idp_objects import make_idp

    log = logging.getLogger("velmora")
    saved = log.handlers[:], log.propagate
    log.handlers, log.propagate = [logging.NullHandler()], False  # error lines cost both sides alike
    try:
        idps = {case: make_idp(relay_state=relay_state) for case, relay_state in RETURN_URL_CASES.items()}
        for case, idp in idps.items():
            built, twin = idp.get_return_to_url(), return_url_twin.get_return_to_url(idp)
            assert built == twin, (case, built, twin)
        batch, rounds = (100, 11) if quick else (300, 61)
        out = {}
        for case, idp in idps.items():
            out[case] = paired(idp.get_return_to_url, lambda idp=idp: return_url_twin.get_return_to_url(idp),
                               batch, rounds)
        mix = list(idps.values())

        def built_all():
            for idp in mix:
                idp.get_return_to_url()

        def twin_all():
            for idp in mix:
                return_url_twin.get_return_to_url(idp)

        out["all cases in turn"] = paired(built_all, twin_all, max(1, batch // len(mix)), rounds)
    finally:
        log.handlers, log.propagate = saved
    return {"return_url": out}


def memory_cleanup(quick):
    import velmora_saml.saml as saml

    out = {}
    future = time.time() + 3600
    for n in (1_000, 10_000, 100_000):
        tracker = saml.SamlDuplicateResponsesTrackerInMemory()
        for i in range(n):
            tracker.add(f"_id{i}", future)
        batch = max(3, 300_000 // n) if not quick else max(2, 30_000 // n)
        out[n] = measure(tracker.cleanup_expired, batch)
        assert len(tracker._seen_responses) == n
    return {"memory_cleanup": out}
