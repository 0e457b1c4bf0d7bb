"""Benchmarks of the SAML plug-in: what a login costs, how it scales, where the ceilings are.

Prints a table, writes bench/results/results.json and renders the scaling
curves to bench/results/scaling.png. Figures are medians of repeated batches
measured in one run on a shared machine: compare them within a run. Nothing
here fails on timing.

    python bench/run.py [--quick] [--only NAME ...]
"""

import argparse
import json
import multiprocessing
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "host"))
sys.path.insert(0, str(ROOT))

RESULTS = ROOT / "bench" / "results"


# ---- measuring ----------------------------------------------------------------


def measure(fn, batch, repeats=7, warmup=1, setup=None):
    """Seconds per call of fn(): median, min and max over `repeats` batches."""
    samples = []
    for i in range(warmup + repeats):
        if setup:
            setup()
        start = time.perf_counter()
        for _ in range(batch):
            fn()
        elapsed = (time.perf_counter() - start) / batch
        if i >= warmup:
            samples.append(elapsed)
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples), "batch": batch,
            "repeats": repeats}


def measure_each(fns, repeats=5):
    """Seconds per call when every call needs its own input: fns is a list of
    zero-argument callables, timed one by one; median/min/max per call."""
    samples = []
    for fn in fns:
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    samples = samples[len(samples) // 10:]  # the first tenth warms up
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples), "calls": len(samples)}


def us(seconds):
    return f"{seconds * 1e6:,.1f} µs"


def ms(seconds):
    return f"{seconds * 1e3:,.3f} ms"


# ---- scenarios ----------------------------------------------------------------


def pyramid_request(path, host, **kwargs):
    from pyramid.request import Request
    from pyramid.testing import DummySession

    request = Request.blank(path, headers={"Host": host}, base_url=f"https://{host}", **kwargs)
    request.session = DummySession()
    return request


class Registry:
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
    def from_plugin(caller):  # the C++ has no frame: its calls show the lambda as their caller
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


def paired(a, b, batch, rounds):
    """Seconds per call of a() and b(), timed in alternating batches (the
    order switching every round), and the median over the rounds of
    time(b) / time(a): above 1, a is the faster."""
    times_a, times_b, ratios = [], [], []
    for i in range(rounds + 1):
        timed = {}
        for name, fn in ((("a", a), ("b", b)) if i % 2 else (("b", b), ("a", a))):
            start = time.perf_counter()
            for _ in range(batch):
                fn()
            timed[name] = (time.perf_counter() - start) / batch
        if i == 0:
            continue  # warm-up
        times_a.append(timed["a"])
        times_b.append(timed["b"])
        ratios.append(timed["b"] / timed["a"])
    return {"a": statistics.median(times_a), "b": statistics.median(times_b), "ratio": statistics.median(ratios),
            "ratio_min": min(ratios), "ratio_max": max(ratios), "batch": batch, "rounds": rounds}


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


class CountingClient:
    """Wraps a memcache client and counts the calls the tracker makes."""

    def __init__(self, client):
        self.client = client
        self.calls = {}

    def _count(self, name):
        self.calls[name] = self.calls.get(name, 0) + 1

    def get(self, *a):
        self._count("get")
        return self.client.get(*a)

    def set(self, *a):
        self._count("set")
        return self.client.set(*a)

    def add(self, *a):
        self._count("add")
        return self.client.add(*a)

    def delete(self, *a):
        self._count("delete")
        return self.client.delete(*a)

    def replace(self, *a):
        self._count("replace")
        return self.client.replace(*a)


class Memcached:
    def __init__(self, memory_mb=64, *options):
        import socket

        binary = shutil.which("memcached") or "/usr/bin/memcached"
        if not os.path.exists(binary):
            raise RuntimeError("memcached is not installed")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        command = [binary, "-l", "127.0.0.1", "-p", str(self.port), "-U", "0", "-m", str(memory_mb), *options]
        if os.geteuid() == 0:
            command += ["-u", "root"]  # memcached refuses to run as root otherwise
        self.proc = subprocess.Popen(command,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def client(self):
        from velmora.storage import make_memcache_client

        return make_memcache_client("127.0.0.1", self.port)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)

    def stats(self):
        client = self.client()
        try:
            return {k.decode(): v for k, v in client.stats().items()}
        finally:
            client.close()


def cycle(tracker, req_id, assertion_id, expiration):
    """One replay check as an accepted login runs it."""
    with tracker.lock():
        if tracker.is_seen(req_id) or tracker.is_seen(assertion_id):
            raise ValueError("Duplicated SAML response")
        tracker.add(req_id, expiration)
        tracker.add(assertion_id, expiration)
        tracker.cleanup_expired()


def memcache_cycle(quick, server):
    import velmora_saml.saml as saml

    out = {}
    for preload in (0, 5_000):
        client = server.client()
        client.flush_all()
        if preload:
            client.set("bench_saml_responses_tracker", {f"_old{i}": time.time() + 3600 for i in range(preload)})
        counter = [0]
        calls = []

        def run():
            counter[0] += 1
            counting = CountingClient(client)
            tracker = saml.SamlDuplicateResponsesTrackerInMemcache(counting, "bench", 0.01, "bench")
            cycle(tracker, f"_r{counter[0]}", f"_a{counter[0]}", time.time() + 300)
            calls.append(sum(counting.calls.values()))
            return counting.calls

        breakdown = run()
        result = measure(run, 20 if quick else 100)
        result["memcache_calls_per_cycle"] = statistics.median(calls)
        result["calls"] = breakdown
        out[preload] = result
        client.close()
    return {"memcache_cycle": out}


def _contention_worker(port, root_key, worker, duration, queue):
    sys.path.insert(0, str(ROOT / "host"))
    import velmora_saml.saml as saml
    from velmora.storage import make_memcache_client

    client = CountingClient(make_memcache_client("127.0.0.1", port))
    latencies, ids = [], []
    n = 0
    end = time.monotonic() + duration
    while time.monotonic() < end:
        n += 1
        tracker = saml.SamlDuplicateResponsesTrackerInMemcache(client, root_key, 0.01, f"w{worker}")
        start = time.perf_counter()
        cycle(tracker, f"_r{worker}_{n}", f"_a{worker}_{n}", time.time() + 3600)
        latencies.append(time.perf_counter() - start)
        ids.extend((f"_r{worker}_{n}", f"_a{worker}_{n}"))
    queue.put({"latencies": latencies, "ids": ids, "lock_attempts": client.calls.get("add", 0)})


def contention(quick, server):
    out = {}
    duration = 1.5 if quick else 4.0
    ctx = multiprocessing.get_context("spawn")
    for processes in (1, 2, 4, 8):
        client = server.client()
        client.flush_all()
        root_key = f"contention{processes}"
        queue = ctx.Queue()
        workers = [ctx.Process(target=_contention_worker, args=(server.port, root_key, w, duration, queue))
                   for w in range(processes)]
        for w in workers:
            w.start()
        reports = [queue.get(timeout=120) for _ in workers]
        for w in workers:
            w.join(30)
        latencies = sorted(x for r in reports for x in r["latencies"])
        cycles = len(latencies)
        ids = [i for r in reports for i in r["ids"]]
        stored = client.get(f"{root_key}_saml_responses_tracker") or {}
        lost = sum(1 for i in ids if i not in stored)
        out[processes] = {
            "cycles_per_s": cycles / duration,
            "p50": latencies[len(latencies) // 2],
            "p99": latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))],
            "max": latencies[-1],
            "lock_attempts_per_cycle": sum(r["lock_attempts"] for r in reports) / cycles,
            "lost_records": lost,
            "records": len(ids),
        }
        client.close()
    return {"contention": out}


def capacity(quick, server):
    """How many records the shared mapping holds before memcached refuses it."""
    import velmora_saml.saml as saml

    from pymemcache.exceptions import MemcacheServerError

    client = server.client()
    client.flush_all()
    tracker = saml.SamlDuplicateResponsesTrackerInMemcache(client, "capacity", 0.01, "cap")

    def stored(value):
        # memcached answers "SERVER_ERROR object too large for cache", which
        # pymemcache raises rather than returning False.
        try:
            return client.set(tracker.key, value)
        except MemcacheServerError:
            return False
    expiration = time.time() + 300
    low, step = 0, 1024
    mapping = {}
    # Grow in steps until the write fails, then narrow down.
    while True:
        for i in range(low, low + step):
            mapping[f"_{os.urandom(16).hex()}"] = expiration
        if not stored(mapping):
            break
        low += step
    # Back off one step and fill one record at a time.
    keys = list(mapping)
    mapping = {k: expiration for k in keys[:low]}
    count = low
    while stored(mapping):
        mapping[f"_{os.urandom(16).hex()}"] = expiration
        count += 1
    # The tracker itself reports the refusal.
    tracker._seen_responses = dict(mapping)
    refused = None
    try:
        tracker.add("_one_more", expiration)
    except Exception as e:
        refused = f"{type(e).__module__}.{type(e).__name__}: {e}"
    import pickle

    size = len(pickle.dumps(dict(list(mapping.items())[:count]), protocol=pickle.HIGHEST_PROTOCOL))
    client.close()
    validity = 300
    return {"capacity": {"records": count, "value_bytes": size, "bytes_per_record": size / count,
                         "assertion_validity_s": validity, "ids_per_login": 2,
                         "sustained_logins_per_s": count / (2 * validity), "refusal": refused}}


# ---- the replay stores: shared mapping against one key per id -------------------


def replay_client(servers):
    """The host's client: plain over one memcached, a HashClient over several."""
    from velmora.storage import make_memcache_client, make_memcache_cluster_client

    if len(servers) == 1:
        return make_memcache_client(*servers[0])
    return make_memcache_cluster_client(servers)


def replay_tracker(kind, client, root_key, worker="bench"):
    """A new tracker of one request, as the callback view makes it."""
    if kind == "mapping":
        import velmora_saml.saml as saml

        return saml.SamlDuplicateResponsesTrackerInMemcache(client, root_key, 0.01, worker)
    import velmora_saml.replay_store as replay_store

    return replay_store.SamlReplayKeyStore(client, root_key)


def preload(kind, servers, root_key, records):
    """`records` live records (an hour to go), as logins would have left them."""
    if not records:
        return
    client = replay_client(servers)
    expiration = time.time() + 3600
    ids = [f"_old{i:07d}{os.urandom(8).hex()}" for i in range(records)]
    if kind == "mapping":
        client.set(replay_tracker(kind, client, root_key).key, dict.fromkeys(ids, expiration))
    else:
        store = replay_tracker(kind, client, root_key)
        lifetime = store.expire_time(expiration, time.time())
        value = str(expiration)
        for start in range(0, records, 5000):
            client.set_many({store.record_key(i): value for i in ids[start:start + 5000]}, lifetime, noreply=True)
        assert store.is_seen(ids[-1]) and store.is_seen(ids[0])
    client.close()


def _replay_worker(kind, servers, root_key, worker, duration, ready, go, queue):
    sys.path.insert(0, str(ROOT / "host"))
    client = replay_client([tuple(s) for s in servers])
    replay_tracker(kind, client, root_key)  # imports done before the clock starts
    ready.put(worker)
    go.wait()
    latencies = []
    n = 0
    end = time.monotonic() + duration
    while time.monotonic() < end:
        n += 1
        tracker = replay_tracker(kind, client, root_key, f"w{worker}")
        start = time.perf_counter()
        cycle(tracker, f"_r{worker}_{n}", f"_a{worker}_{n}", time.time() + 3600)
        latencies.append(time.perf_counter() - start)
    queue.put({"latencies": latencies})


def replay_rate(ctx, kind, servers, root_key, processes, duration):
    """Checks per second of `processes` processes running at once for `duration` seconds."""
    ready, go, queue = ctx.Queue(), ctx.Event(), ctx.Queue()
    workers = [ctx.Process(target=_replay_worker, args=(kind, servers, root_key, w, duration, ready, go, queue))
               for w in range(processes)]
    for w in workers:
        w.start()
    for _ in workers:
        ready.get(timeout=300)
    go.set()
    reports = [queue.get(timeout=300) for _ in workers]
    for w in workers:
        w.join(30)
    latencies = sorted(x for r in reports for x in r["latencies"])
    return {"checks_per_s": len(latencies) / duration, "p50": latencies[len(latencies) // 2],
            "p99": latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]}


def replay_rates(servers, quick, label):
    """Replay checks per second of all processes together, per store, live records and processes.

    The machine is shared: every case is measured in each of several rounds,
    the cases of a round one after the other, and the median round is kept."""
    duration, rounds = (1.0, 1) if quick else (2.5, 3)
    ctx = multiprocessing.get_context("spawn")
    cases = [(kind, records, processes) for kind in ("mapping", "keys") for records in (0, 10_000)
             for processes in (1, 2, 4, 8)]
    measured = {case: [] for case in cases}
    for round_ in range(rounds):
        for kind, records, processes in cases:
            root_key = f"{label}_{kind}_{records}_{processes}_{round_}"
            preload(kind, servers, root_key, records)
            measured[kind, records, processes].append(replay_rate(ctx, kind, servers, root_key, processes, duration))
        for server in servers:  # what the rounds recorded goes, the next round starts alike
            flush = replay_client([tuple(server)])
            flush.flush_all()
            flush.close()
    out = {}
    for (kind, records, processes), samples in measured.items():
        samples = sorted(samples, key=lambda r: r["checks_per_s"])
        median = dict(samples[len(samples) // 2])
        median["rounds"] = [r["checks_per_s"] for r in samples]
        out.setdefault(f"{kind}@{records}", {})[processes] = median
        print(f"   {label} {kind} {records:,} records {processes} processes: "
              f"{median['checks_per_s']:,.0f} checks/s (rounds {[round(r) for r in median['rounds']]})",
              file=sys.stderr, flush=True)
    return out


def replay_throughput(quick, server):
    server.client().flush_all()
    return {"replay_throughput": replay_rates([("127.0.0.1", server.port)], quick, "one")}


def cluster_throughput(quick, server):
    nodes = [Memcached() for _ in range(3)]
    try:
        return {"cluster_throughput": replay_rates([("127.0.0.1", n.port) for n in nodes], quick, "cluster")}
    finally:
        for node in nodes:
            node.stop()


def replay_check_cost(quick, server):
    """Seconds of one replay check (two ids) with 0 .. 1,000,000 live records, per store.

    The key store's checks are timed in batches that alternate with batches
    against a second, empty memcached: the ratio of each pair tells what the
    live records cost even while the machine's load drifts."""
    sizes = (0, 10_000, 100_000) if quick else (0, 10_000, 100_000, 1_000_000)
    batch, repeats = (50, 5) if quick else (200, 15)
    # The mapping of a million records is ~45 MB: one value, so memcached
    # has to accept items that large.
    loaded, empty = Memcached(1024, "-I", "128m"), Memcached(64)
    out = {"mapping": {}, "keys": {}}
    try:
        servers = [("127.0.0.1", loaded.port)]
        loaded_client, empty_client = replay_client(servers), replay_client([("127.0.0.1", empty.port)])
        counter = [0]

        def checks(kind, client, root_key):
            def run():
                for _ in range(batch if kind == "keys" else 1):
                    counter[0] += 1
                    cycle(replay_tracker(kind, client, root_key), f"_r{counter[0]}", f"_a{counter[0]}",
                          time.time() + 3600)
            return run

        grown = 0
        for records in sizes:
            # The records of all sizes so far stay: memcached holds `records` in all.
            preload("keys", servers, f"cost_keys_{records}", records - grown)
            grown = records
            on_loaded, on_empty = checks("keys", loaded_client, "cost"), checks("keys", empty_client, "cost")
            on_loaded(), on_empty()  # warm-up
            pairs = []
            for _ in range(repeats):
                empty_client.flush_all()
                started = time.perf_counter()
                on_loaded()
                middle = time.perf_counter()
                on_empty()
                pairs.append(((middle - started) / batch, (time.perf_counter() - middle) / batch))
            out["keys"][records] = {"median": statistics.median(p[0] for p in pairs),
                                    "empty_median": statistics.median(p[1] for p in pairs),
                                    "ratio_to_empty": statistics.median(p[0] / p[1] for p in pairs),
                                    "items": loaded.stats()["curr_items"], "batch": batch, "repeats": repeats}
            print(f"   keys {records:,} records: {us(out['keys'][records]['median'])} "
                  f"({out['keys'][records]['ratio_to_empty']:.2f}× the empty memcached)", file=sys.stderr, flush=True)
        loaded_client.flush_all()
        for records in sizes:
            root_key = f"cost_mapping_{records}"
            preload("mapping", servers, root_key, records)
            run = checks("mapping", loaded_client, root_key)
            rounds = 3 if records >= 1_000_000 else 5 if records >= 100_000 else 20
            out["mapping"][records] = measure(run, 1 if records >= 100_000 else 10, repeats=rounds)
            print(f"   mapping {records:,} records: {us(out['mapping'][records]['median'])}", file=sys.stderr,
                  flush=True)
            loaded_client.flush_all()
        loaded_client.close()
        empty_client.close()
    finally:
        loaded.stop()
        empty.stop()
    return {"replay_check_cost": out}


def replay_capacity(quick, server):
    """How many records the key store holds in a memcached given 512 MB (-m 512):
    filled with records shaped like a login's until memcached first evicts;
    at one million, a sample read back."""
    memory_mb = 64 if quick else 512
    node = Memcached(memory_mb)
    try:
        client = replay_client([("127.0.0.1", node.port)])
        store = replay_tracker("keys", client, "capacity")
        expiration = time.time() + 3600
        lifetime = store.expire_time(expiration, time.time())
        value = str(expiration)

        def record_id(i):  # as long as a toolkit's id ("_" and 32 hex digits)
            return f"_{i:032x}"

        def found(indexes):
            return sum(client.get(store.record_key(record_id(i))) is not None for i in indexes)

        chunk, written, at_million = 20_000, 0, None
        started = time.monotonic()
        while True:
            client.set_many({store.record_key(record_id(i)): value for i in range(written, written + chunk)},
                            lifetime, noreply=True)
            written += chunk
            client.get("sync")  # memcached has carried out every write before it answers
            stats = node.stats()
            if written == 1_000_000 and not stats["evictions"]:
                sample = range(0, written, 97)
                at_million = {"items": stats["curr_items"], "evictions": stats["evictions"],
                              "bytes": stats["bytes"], "sample": len(sample), "sample_found": found(sample)}
            if stats["evictions"] or written >= 10_000_000:
                break
        # memcached evicts the least recently used: the oldest records go first.
        oldest, newest = range(0, 10_000, 7), range(written - 10_000, written, 7)
        result = {"memory_mb": memory_mb, "written_until_first_eviction": written,
                  "held_at_first_eviction": stats["curr_items"],
                  "bytes_per_record": stats["bytes"] / max(1, stats["curr_items"]),
                  "at_one_million": at_million, "fill_seconds": time.monotonic() - started,
                  "oldest_found": found(oldest) / len(oldest), "newest_found": found(newest) / len(newest),
                  "record_key_length": len(store.record_key("x"))}
        client.close()
    finally:
        node.stop()
    return {"replay_capacity": result}


# ---- report ---------------------------------------------------------------------


def table(results):
    rows = []

    def row(name, value, target=""):
        rows.append((name, value, target))

    if "sso_view" in results:
        row("SSO view (real AuthnRequest)", us(results["sso_view"]["median"]))
    if "audit_record" in results:
        row("audit record of a callback (handler, formatted line)",
            f"{us(results['audit_record']['median'])} ({results['audit_share'] * 100:.2f} % of a callback)", "< 2 %")
        row("  same with metrics on",
            f"{us(results['audit_record_metrics']['median'])} ({results['audit_metrics_share'] * 100:.2f} %)", "< 2 %")
    if "callback_real" in results:
        row("callback view, real signed response, 1000 users", us(results["callback_real"]["median"]))
        row("callback view, canned toolkit", us(results["callback_canned_toolkit"]["median"]))
        row("plug-in share of a real callback (canned / real)", f"{results['plugin_share'] * 100:.2f} %", "≤ 5 %")
        row("  of which WebOb form parsing", us(results["webob_form_parse"]["median"]))
        row("  of which HTTPFound", us(results["httpfound"]["median"]))
        row("plug-in's own share (without WebOb)", f"{results['plugin_own_share'] * 100:.2f} %", "≤ 5 %")
        if "transform_check_share" in results:
            row("transform check per callback", us(results["transform_check"]["median"]))
            row("transform check share of a callback", f"{results['transform_check_share'] * 100:.2f} %", "< 5 %")
    targets = {"sso_view": "≥ 5×", "callback_view": "≥ 1.10×", "metadata_view": "≥ 3×"}
    shared = results.get("shared_settings", {})
    for name in ("sso_view", "callback_view", "metadata_view", "logout_view", "validate_idp_config"):
        if name in shared:
            r = shared[name]
            row(f"{name}: settings object per IdP / built per request (paired batches)",
                f"{us(r['a'])} / {us(r['b'])}, {r['ratio']:.2f}× ({r['ratio_min']:.2f}–{r['ratio_max']:.2f})",
                targets.get(name, "≥ 1×"))
    if shared:
        row("  telling an in-place edit (mapping == its copy), per request", us(shared["edit_check"]["median"]))
        row("  building the settings object once", us(shared["settings_build"]["median"]))
        row("  memory of one IdP's entry (settings object and copy)", f"{shared['entry_bytes'] / 1024:.1f} KiB")
    for view, profile in results.get("profiles", {}).items():
        row(f"{view} under cProfile", ms(profile["seconds_per_call"]))
        for label, share in profile["groups"].items():
            row(f"  {label}", f"{share * 100:.1f} %")
        for entry in profile["by_own_time"][:10]:
            row(f"  {entry['function']}", f"{entry['own_share'] * 100:.1f} % own, "
                f"{entry['cumulative_share'] * 100:.1f} % with callees, {entry['calls_per_call']:g}× a view call")
    if "refresh_twin_sso" in results:
        for kind, label in (("sso", "SSO view"), ("callback", "callback, real signed response")):
            row(f"{label}, signed refreshed metadata, no refresh running (twin IdP)",
                us(results[f"refresh_twin_{kind}"]))
            row(f"  same IdP with its refresh in flight (paired batches)",
                f"{us(results[f'refresh_held_{kind}'])} ({results[f'refresh_held_{kind}_ratio']:.2f}×)", "≤ 1×")
            row(f"  while another IdP refreshes back to back",
                f"{us(results[f'refresh_busy_{kind}'])} ({results[f'refresh_busy_{kind}_ratio']:.2f}× quiet)")
        row("  refreshes back to back", f"{results['refresh_busy_refreshes_per_s']:.0f} per second")
    for n, r in results.get("user_mapping", {}).items():
        row(f"user mapping, {int(n):,} users", ms(r["median"]), "≤ 3 ms" if int(n) == 100_000 else "")
    for case, r in results.get("return_url", {}).items():
        row(f"return URL, {case}: C++ / Python twin",
            f"{us(r['a'])} / {us(r['b'])}, twin/C++ {r['ratio']:.2f}× ({r['ratio_min']:.2f}–{r['ratio_max']:.2f})",
            "≥ 1×" if case == "all cases in turn" else "")
    for n, r in results.get("memory_cleanup", {}).items():
        row(f"in-memory cleanup, {int(n):,} records", ms(r["median"]), "≤ 3 ms" if int(n) == 100_000 else "")
    for n, r in results.get("memcache_cycle", {}).items():
        row(f"memcache replay cycle, {int(n):,} records", f"{us(r['median'])}, {r['memcache_calls_per_cycle']:.0f} calls")
    base = None
    for p, r in results.get("contention", {}).items():
        base = base or r["cycles_per_s"]
        row(f"contention, {p} processes",
            f"{r['cycles_per_s']:,.0f} cycles/s ({r['cycles_per_s'] / base * 100:.0f} %), p50 {ms(r['p50'])}, "
            f"p99 {ms(r['p99'])}, max {ms(r['max'])}, {r['lock_attempts_per_cycle']:.2f} lock attempts/cycle, "
            f"{r['lost_records']} lost", "≥ 80 % at 4" if int(p) == 4 else "")
    if "capacity" in results:
        c = results["capacity"]
        row("shared mapping capacity", f"{c['records']:,} records ({c['value_bytes']:,} bytes), "
            f"{c['sustained_logins_per_s']:.1f} logins/s sustained at 5 min validity")
    replay_rows(results, row)
    width = max(len(r[0]) for r in rows)
    lines = [f"{'scenario'.ljust(width)}  figure  [target]"]
    for name, value, target in rows:
        lines.append(f"{name.ljust(width)}  {value}" + (f"  [{target}]" if target else ""))
    return "\n".join(lines)


def replay_rows(results, row):
    for label, key in (("one memcached", "replay_throughput"), ("3-node cluster", "cluster_throughput")):
        rates = results.get(key)
        if not rates:
            continue
        for series, by_processes in rates.items():
            kind, records = series.split("@")
            figures = " / ".join(f"{r['checks_per_s']:,.0f}" for r in by_processes.values())
            row(f"replay checks/s, {label}, {kind}, {int(records):,} live records, 1/2/4/8 processes", figures)
        keys10, map10 = rates.get("keys@10000"), rates.get("mapping@10000")
        if keys10 and map10:
            at4 = keys10["4"]["checks_per_s"] / map10["4"]["checks_per_s"]
            row(f"  key store / mapping, {label}, 10,000 records, 4 processes", f"{at4:,.1f}×", "≥ 10×")
        ratios = [rates[f"keys@{n}"][p]["checks_per_s"] / rates[f"mapping@{n}"][p]["checks_per_s"]
                  for n in ("0", "10000") if f"keys@{n}" in rates and f"mapping@{n}" in rates
                  for p in rates[f"keys@{n}"]]
        if ratios:
            row(f"  key store / mapping, {label}, lowest of every case", f"{min(ratios):,.2f}×", "≥ 1×")
        for n in ("0", "10000"):
            series = rates.get(f"keys@{n}")
            if series:
                growth = series["2"]["checks_per_s"] / series["1"]["checks_per_s"]
                row(f"  key store, {label}, {int(n):,} records: 2 processes / 1", f"{growth:,.2f}×",
                    "grows up to the cores (2)")
    cost = results.get("replay_check_cost")
    if cost:
        for kind, by_records in cost.items():
            for records, r in by_records.items():
                row(f"one replay check, {kind}, {int(records):,} live records", us(r["median"]))
        keys = cost.get("keys", {})
        if "1000000" in keys and "0" in keys:
            row("  key store, 1,000,000 records / empty (medians)",
                f"{keys['1000000']['median'] / keys['0']['median']:.2f}×", "≤ 1.5×")
        for records, r in keys.items():
            row(f"  key store, {int(records):,} records / an empty memcached (alternating batches)",
                f"{r['ratio_to_empty']:.2f}×", "≤ 1.5×" if records == "1000000" else "")
    cap = results.get("replay_capacity")
    if cap:
        row(f"key store capacity, memcached -m {cap['memory_mb']}",
            f"{cap['held_at_first_eviction']:,} records at the first eviction, "
            f"{cap['bytes_per_record']:.0f} bytes each (memcached's count)")
        million = cap.get("at_one_million")
        if million:
            row("  at 1,000,000 records", f"{million['items']:,} held, {million['evictions']} evictions, "
                f"{million['sample_found']:,} of {million['sample']:,} sampled found", "1,000,000 in 512 MB")
        row("  after the first eviction, oldest / newest 10,000 found",
            f"{cap['oldest_found'] * 100:.0f} % / {cap['newest_found'] * 100:.0f} %")


def plot_replay(results, path):
    plt = pyplot()
    if plt is None:
        return False
    fig, axes = plt.subplots(1, 3, figsize=(14, 4))
    styles = {"keys": "o-", "mapping": "s--"}
    for axis, key, title in ((axes[0], "replay_throughput", "One memcached"),
                             (axes[1], "cluster_throughput", "Three-node cluster")):
        for series, by_processes in results.get(key, {}).items():
            kind, records = series.split("@")
            ps = [int(p) for p in by_processes]
            axis.plot(ps, [r["checks_per_s"] for r in by_processes.values()], styles[kind],
                      label=f"{'key store' if kind == 'keys' else 'mapping'}, {int(records):,} records")
        axis.set_xlabel("processes")
        axis.set_ylabel("replay checks/s (all processes)")
        axis.set_yscale("log")
        axis.set_xticks([1, 2, 4, 8])
        axis.set_title(title)
        axis.legend(fontsize=7, loc="best")
    for kind, by_records in results.get("replay_check_cost", {}).items():
        axes[2].plot(range(len(by_records)), [r["median"] * 1e3 for r in by_records.values()], styles[kind],
                     label="key store" if kind == "keys" else "mapping")
        axes[2].set_xticks(range(len(by_records)), [f"{int(n):,}" for n in by_records])
    axes[2].set_yscale("log")
    axes[2].set_xlabel("live records")
    axes[2].set_ylabel("ms per replay check")
    axes[2].set_title("Cost of one check")
    axes[2].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def pyplot():
    """matplotlib's pyplot drawing to files, or None when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot", file=sys.stderr)
        return None
    return plt


def plot(results, path):
    plt = pyplot()
    if plt is None:
        return False
    fig, axes = plt.subplots(1, 3, figsize=(13, 3.8))
    if "user_mapping" in results:
        xs = [int(n) for n in results["user_mapping"]]
        axes[0].plot(xs, [r["median"] * 1e3 for r in results["user_mapping"].values()], "o-", label="user mapping")
    if "memory_cleanup" in results:
        xs = [int(n) for n in results["memory_cleanup"]]
        axes[0].plot(xs, [r["median"] * 1e3 for r in results["memory_cleanup"].values()], "s-",
                     label="in-memory cleanup")
    axes[0].set_xscale("log")
    axes[0].set_yscale("log")
    axes[0].set_xlabel("users / records")
    axes[0].set_ylabel("ms per call")
    axes[0].set_title("Scaling with users and records")
    axes[0].legend()
    if "contention" in results:
        ps = [int(p) for p in results["contention"]]
        axes[1].plot(ps, [r["cycles_per_s"] for r in results["contention"].values()], "o-")
        axes[1].set_xlabel("processes")
        axes[1].set_ylabel("replay-check cycles/s (all processes)")
        axes[1].set_title("Shared memcache lock")
        axes[1].set_ylim(bottom=0)
        axes[2].plot(ps, [r["p50"] * 1e3 for r in results["contention"].values()], "o-", label="p50")
        axes[2].plot(ps, [r["p99"] * 1e3 for r in results["contention"].values()], "s-", label="p99")
        axes[2].set_xlabel("processes")
        axes[2].set_ylabel("ms per cycle")
        axes[2].set_title("Replay-check latency")
        axes[2].legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


SCENARIOS = ["sso_view", "callback_view", "audit_record", "shared_settings", "profiles", "refresh_login", "user_mapping",
             "return_url", "memory_cleanup",
             "memcache_cycle", "contention",
             "capacity", "replay_throughput", "cluster_throughput", "replay_check_cost", "replay_capacity"]
NEEDS_MEMCACHED = ("memcache_cycle", "contention", "capacity", "replay_throughput", "cluster_throughput",
                   "replay_check_cost", "replay_capacity")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller batches (a smoke run)")
    parser.add_argument("--only", nargs="*", choices=SCENARIOS, help="run only these scenarios")
    parser.add_argument("--out", default=str(RESULTS), help="where results.json and scaling.png go")
    args = parser.parse_args()
    logging_quiet()
    chosen = args.only or SCENARIOS
    results = {}
    server = None
    try:
        for name in chosen:
            print(f"-- {name}", file=sys.stderr, flush=True)
            fn = globals()[name]
            if name in NEEDS_MEMCACHED:
                if server is None:
                    try:
                        server = Memcached()
                    except Exception as e:
                        print(f"   skipped: {e}", file=sys.stderr)
                        continue
                results.update(fn(args.quick, server))
            else:
                results.update(fn(args.quick))
    finally:
        if server:
            server.stop()
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "results.json").write_text(json.dumps(results, indent=2, default=str))
    results = json.loads((out / "results.json").read_text())  # keys as text, as a reader of the file sees them
    print(table(results))
    if plot(results, out / "scaling.png"):
        print(f"\nplot: {out / 'scaling.png'}")
    if any(k in results for k in ("replay_throughput", "cluster_throughput", "replay_check_cost")):
        if plot_replay(results, out / "replay.png"):
            print(f"plot: {out / 'replay.png'}")
    print(f"json: {out / 'results.json'}")


def logging_quiet():
    import logging

    logging.getLogger("velmora").setLevel(logging.WARNING)
    logging.getLogger().setLevel(logging.ERROR)


if __name__ == "__main__":
    main()
