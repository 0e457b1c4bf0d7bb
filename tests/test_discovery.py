"""Choosing an IdP: the discovery page of a federation entry (search with
and without JavaScript, languages, the cookie of recent choices), its feed,
an external discovery service and the SP metadata that names its return,
the site's page of every entry, and the escaping of what IdPs publish."""

import base64
import hashlib
from html import unescape
import re
import urllib.parse

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from lxml import etree

import velmora_saml.saml as saml
from tests.support import federation as fed
from tests.support import idp_metadata as md
from tests.support import sp_app
from tests.support.processes import ROOT, child_env
from tests.support.settings import auth_settings, idp_config, toolkit_settings
from tests.test_federation import A, B, PATH, entry, wait_for_generation
from velmora.storage import ConfigStorage
from velmora_saml import discovery, federation, federation_refresh, idp_metadata

MDUI = fed.NSMAP["mdui"]


@pytest.fixture(autouse=True)
def start_over():
    yield
    federation.forget_entities()
    federation_refresh.forget_all()
    discovery.forget_all()


def federation_site(server, tmp_path, document, **federation_keys):
    """(entry, app) of a federation whose cache the refresh process filled."""
    server.publish(PATH, document)
    config = entry({"metadata_url": server.url(PATH), **federation_keys}, tmp_path / "cache")
    with pytest.raises(idp_metadata.MetadataNotAvailable):
        saml.SamlIDPConfig.validate_idp_config(config)
    wait_for_generation(config)
    settings = auth_settings(("fed", config))
    saml.validate_saml_settings(settings, 5)
    assert config["enabled"] is True
    return config, sp_app.make_app(settings, ConfigStorage(sp_app.USERS))


@pytest.fixture
def site(metadata_server, tmp_path):
    return federation_site(metadata_server, tmp_path, fed.federation_aggregate(40, real_idps=(A, B)))


def listed(page):
    """[(href, name, lang, logo)] of the page's result list, in order."""
    block = page.text.split('<ul id="results">', 1)[1].split("</ul>", 1)[0]
    rows = re.findall(r'<li><a href="([^"]*)">(?:<img src="([^"]*)" alt="">|<span class="none"></span>)'
                      r'<span(?: lang="([^"]*)")?>([^<]*)</span>(?: <small>[^<]*</small>)?</a></li>', block)
    assert len(rows) == block.count("<li>"), block
    return [(unescape(href), unescape(name), lang, unescape(logo)) for href, logo, lang, name in rows]


def domains_shown(page):
    block = page.text.split('<ul id="results">', 1)[1].split("</ul>", 1)[0]
    return re.findall(r"<span[^>]*>([^<]*)</span>(?: <small>([^<]*)</small>)?</a>", block)


def summary(page):
    return unescape(re.search(r'<p id="count"[^>]*>([^<]*)</p>', page.text).group(1))


# ---- the pieces, as tables --------------------------------------------------------


@pytest.mark.parametrize("text, folded", [
    ("Universität Zürich", "universitat zurich"), ("Tromsø", "tromso"), ("Łódź", "lodz"), ("Straße", "strasse"),
    ("ÉCOLE d'Ingénieurs", "ecole d'ingenieurs"), ("Ｕｎｉ", "uni"), ("Œuvre", "oeuvre"),
])
def test_folding(text, folded):
    assert discovery.fold(text) == folded


@pytest.mark.parametrize("header, preferred", [
    (None, ["en"]),
    ("de-CH, de;q=0.9, en;q=0.8", ["de-ch", "de", "en", "en"]),
    ("fr;q=0.5, sv", ["sv", "fr", "en"]),
    ("it;q=0, nb", ["nb", "en"]),  # q=0: not wanted
    ("*, es;q=bad", ["en"]),
])
def test_accept_language(header, preferred):
    assert discovery.languages(header) == preferred


@pytest.mark.parametrize("preferred, shown", [
    (["de-ch", "en"], ("Universität Köln", "de")),  # the primary subtag will do
    (["sv", "en"], ("University of Köln", "en")),
    (["sv"], ("University of Köln", "en")),  # else the first
])
def test_a_name_in_the_persons_language(preferred, shown):
    assert discovery.pick([("University of Köln", "en"), ("Universität Köln", "de")], preferred) == shown


PNG = "data:image/png;base64," + base64.b64encode(b"\x89PNG\r\n\x1a\n" + b"\0" * 64).decode()


@pytest.mark.parametrize("logos, shown", [
    ([["https://idp.example/logo.png", None, "80", "80"]], "https://idp.example/logo.png"),
    ([["http://idp.example/logo.png", None, "32", "32"]], None),
    ([["javascript:alert(1)", None, "32", "32"]], None),
    ([["data:text/html;base64,PHNjcmlwdD4=", None, "32", "32"]], None),
    ([[PNG, None, "16", "16"]], PNG),
    ([["data:image/png;base64," + "A" * (32 * 1024), None, "16", "16"]], None),  # over 32 KB
    ([['https://idp.example/a.png" onerror="x', None, "16", "16"]], None),
    # The one nearest to 32 pixels high, of those that may be shown.
    ([["https://idp.example/80.png", None, "80", "80"], ["https://idp.example/16.png", None, "16", "16"],
      ["http://idp.example/32.png", None, "32", "32"]], "https://idp.example/16.png"),
    ([], None),
])
def test_the_logo_rule(logos, shown):
    assert discovery.shown_logo(logos) == shown


@pytest.mark.parametrize("query, words", [
    ("  Köln  uni ", [("koln", None), ("uni", None)]),
    ("alice.smith@uni-koln-36.example", [("uni-koln-36.example", ["uni", "koln", "36", "example"])]),
    ("«Genève»,", [("geneve", None)]),
    ("... ?", []),
])
def test_query_words(query, words):
    assert discovery.query_words(query) == words


# ---- search: a property over the generated federation -----------------------------


@pytest.fixture(scope="module")
def choices():
    document = fed.federation_aggregate(400, seed=5)
    signing = federation.federation_policy(entry({"metadata_url": "x"}, "/tmp/unused"))["signing"]
    _, records = idp_metadata.index_aggregate(document, (None, *signing[1:]))
    return [discovery.choice_of(record) for record in records]


def _fragments(choices):
    words = sorted({w for c in choices for w in (c.names_text + c.other_text).split()})
    return st.lists(st.sampled_from(words).flatmap(
        lambda w: st.integers(1, len(w)).map(lambda n: w[:n])), min_size=1, max_size=3)


def reference_score(choice, words):
    """The search's rule, written out in Python: a whole word of a name 6, a
    name word's start 4, inside a name 2, a whole other word (keyword, scope,
    domain) 3, its start 2, inside 1, the word's parts each somewhere 1."""
    total = 0
    haystack = choice.names_text + "|" + choice.other_text
    for word, parts in words:
        tiers = [(choice.names_text, f" {word} ", 6), (choice.names_text, f" {word}", 4),
                 (choice.names_text, word, 2), (choice.other_text, f" {word} ", 3),
                 (choice.other_text, f" {word}", 2), (choice.other_text, word, 1)]
        found = next((points for text, needle, points in tiers if needle in text), None)
        if found is None and parts and all(part in haystack for part in parts):
            found = 1
        if found is None:
            return None
        total += found
    return total


def reference_search(choices, query, recent=()):
    words = discovery.query_words(query)
    whole = discovery.fold(query).strip()
    ranked = []
    for number, choice in enumerate(choices):
        found = reference_score(choice, words)
        if found is not None:
            found += 3 * choice.sort_key.startswith(whole) + 100 * (choice.key in recent)
            ranked.append((-found, choice.sort_key.encode(), number))
    return [choices[number] for *_, number in sorted(ranked)[:discovery.SHOWN_AT_MOST]], len(ranked)


@settings(max_examples=300, deadline=None)
@given(data=st.data())
def test_the_search_finds_what_its_rule_says_best_first(choices, data):
    query = " ".join(data.draw(_fragments(choices)))
    recent = data.draw(st.lists(st.sampled_from([c.key for c in choices]), max_size=3))
    shown, total = discovery.search(choices, query, recent)
    assert (shown, total) == reference_search(choices, query, recent)
    assert len(shown) == min(total, discovery.SHOWN_AT_MOST)
    words = discovery.query_words(query)
    for choice in shown:  # the word, or each of its parts (of "uni-koln.example": uni, koln, example)
        haystack = choice.names_text + choice.other_text
        assert all(word in haystack or (parts and all(p in haystack for p in parts)) for word, parts in words)


def test_what_a_search_finds(choices):
    by_id = {c.key: c for c in choices}
    some = next(c for c in choices if "universitat" in c.names_text)
    german = discovery.pick(some.names, ["de"])[0]
    # Accents and case folded, any language's name, a word's start.
    shown, _ = discovery.search(choices, german.upper().replace("Ä", "A"))
    assert shown[0] is some
    domain = some.other_text.split()[-1]
    assert some in discovery.search(choices, f"jo.doe@{domain}")[0]  # an e-mail address: its domain
    assert discovery.search(choices, "zzzz-nothing")[0] == []
    # A recent choice that matches comes first.
    later = discovery.search(choices, "university")[0][-1]
    assert discovery.search(choices, "university", [later.key])[0][0] is later
    # No query: nothing of a large federation, every choice of a small one.
    assert discovery.search(choices, "") == ([], len(choices))
    few = list(by_id.values())[:5]
    assert discovery.search(few, "")[0] == sorted(few, key=lambda c: c.sort_key)


# ---- the page, the cookie and the feed, walked ------------------------------------


def test_a_walk_through_the_page(site):
    config, app = site
    # A login start that names no IdP leads to the page, return_to kept.
    start = app.get("/sso/saml/fed", params={"return_to": "/reports?page=2"})
    page = app.get(start.headers["Location"])
    assert page.headers["Cache-Control"] == "no-store"
    policy = page.headers["Content-Security-Policy"]
    for tag in ("script", "style"):  # only the page's own, by their hashes
        body = re.search(f"<{tag}>(.*?)</{tag}>", page.text, re.S).group(1)
        digest = base64.b64encode(hashlib.sha256(body.encode()).digest()).decode()
        assert f"{tag}-src 'sha256-{digest}'" in policy
    assert "default-src 'none'" in policy and "unsafe-inline" not in policy
    assert page.text.count("<h1>") == 1 and '<label for="q">' in page.text and 'name="viewport"' in page.text
    assert '<input type="hidden" name="return_to" value="/reports?page=2">' in page.text
    # 24 IdPs: all listed, by name; each leads through the page to its login.
    rows = listed(page)
    assert len(rows) == 24 and summary(page) == "24 institutions."
    assert [discovery.fold(name) for _, name, _, _ in rows] == sorted(discovery.fold(name) for _, name, _, _ in rows)
    assert all(logo.startswith("https://") for *_, logo in rows)
    # Two institutions of the same name are told apart by their domain; others are not.
    names = [name for name, _ in domains_shown(page)]
    assert len(set(names)) < len(names), "the generated federation repeats names"
    for name, domain in domains_shown(page):
        assert bool(domain) == (names.count(name) > 1)
    a_href = next(href for href, *_ in rows if urllib.parse.quote(A.entity_id, safe="") in href)
    chosen = app.get(a_href)
    assert chosen.headers["Location"] == "https://sp.example.test/sso/saml/fed?" + urllib.parse.urlencode(
        {"entityID": A.entity_id, "return_to": "/reports?page=2"})
    cookie = chosen.headers["Set-Cookie"]
    assert cookie.startswith(f"velmora_saml_idp={urllib.parse.quote(A.entity_id, safe='')};")
    for attribute in ("Max-Age=7776000", "Path=/", "secure", "HttpOnly", "SameSite=Lax"):
        assert attribute in cookie
    assert app.get(chosen.headers["Location"]).headers["Location"].startswith(A.sso_url + "?SAMLRequest=")
    # The choice comes first next time; two more, and the oldest of four goes.
    b_href = next(href for href, *_ in rows if urllib.parse.quote(B.entity_id, safe="") in href)
    app.get(b_href)
    others = [href for href, *_ in rows if href not in (a_href, b_href)][:2]
    for href in others:
        app.get(href)
    recent = app.get("/saml/discovery/fed").text.split('id="recent"')[1].split("</section>")[0]
    assert recent.count("<li>") == 3 and urllib.parse.quote(A.entity_id, safe="") not in recent
    # A cookie naming entities outside the federation: they are not shown.
    app.set_cookie("velmora_saml_idp", "|".join(urllib.parse.quote(e, safe="") for e in
                                                ("https://evil.example/idp", B.entity_id)))
    recent = app.get("/saml/discovery/fed").text.split('id="recent"')[1].split("</section>")[0]
    assert recent.count("<li>") == 1 and "evil" not in recent
    # A choice outside the federation is not remembered, and fails at the login start.
    stranger = app.get("/saml/discovery/fed", params={"entityID": "https://evil.example/idp"})
    assert "Set-Cookie" not in stranger.headers
    failed = app.get(stranger.headers["Location"])
    assert dict(sp_app.failed_redirect(failed)[1])["error_description"].startswith("IdP is not found")


def test_the_search_without_and_with_javascript(site):
    _, app = site
    page = app.get("/saml/discovery/fed", params={"q": "UNIVERSITÄT"}, headers={"Accept-Language": "de-DE,de;q=0.9"})
    rows = listed(page)
    assert rows and all(lang == "de" and "Universität" in name for _, name, lang, _ in rows)
    assert summary(page) == f"{len(rows)} institutions match."
    assert 'value="UNIVERSITÄT"' in page.text and 'id="recent"' not in page.text
    english = listed(app.get("/saml/discovery/fed", params={"q": "universitat"}))
    assert {href for href, *_ in english} == {href for href, *_ in rows}
    assert all(lang == "en" for _, _, lang, _ in english)  # no Accept-Language: English
    answer = app.get("/saml/discovery/fed", params={"q": "universitat", "format": "json"},
                     headers={"Accept-Language": "de"})
    assert answer.content_type == "application/json" and answer.headers["Cache-Control"] == "no-store"
    assert [(i["href"], i["name"]) for i in answer.json["shown"]] == [(h, n) for h, n, _, _ in rows]
    assert answer.json["count"] == len(rows)
    assert summary(app.get("/saml/discovery/fed", params={"q": "qqqq"})) == "No institution matches \u201cqqqq\u201d."
    # An e-mail address finds its institution by scope and domain hint.
    domain = urllib.parse.urlsplit(A.entity_id).hostname.split(".", 1)[1]
    by_mail = listed(app.get("/saml/discovery/fed", params={"q": f"alice@{domain}"}))
    assert urllib.parse.quote(A.entity_id, safe="") in by_mail[0][0]


def test_the_feed(site, metadata_server):
    config, app = site
    feed = app.get("/saml/discovery/fed/feed")
    assert feed.content_type == "application/json" and feed.headers["Cache-Control"] == "public, max-age=600"
    items = feed.json
    assert len(items) == 24 and {i["entityID"] for i in items} >= {A.entity_id, B.entity_id}
    item = next(i for i in items if i["entityID"] == A.entity_id)
    assert set(item) == {"entityID", "DisplayNames", "Descriptions", "InformationURLs", "PrivacyStatementURLs",
                         "Logos"}
    assert {"value", "lang"} == set(item["DisplayNames"][0]) and item["InformationURLs"][0]["lang"] == "en"
    assert {tuple(sorted(logo)) for logo in item["Logos"]} == {("height", "value", "width")}
    assert {logo["height"] for logo in item["Logos"]} == {"80", "16"}
    etag = feed.headers["ETag"]
    for header in (etag, f"W/{etag}", f'"other", {etag}'):
        again = app.get("/saml/discovery/fed/feed", headers={"If-None-Match": header}, status=304)
        assert again.body == b"" and again.headers["ETag"] == etag
    assert app.get("/saml/discovery/fed/feed", headers={"If-None-Match": '"other"'}).body == feed.body
    # A new generation of the same IdPs is the same feed; other IdPs, another.
    job = {**federation_refresh.job_of(federation.federation_policy(config)), "force": True}
    assert federation_refresh.refresh(job)
    app.get("/saml/discovery/fed/feed", headers={"If-None-Match": etag}, status=304)
    metadata_server.publish(PATH, fed.federation_aggregate(40, real_idps=(A, B), seed=2))
    assert federation_refresh.refresh(job)
    changed = app.get("/saml/discovery/fed/feed", headers={"If-None-Match": etag}, status=200)
    assert changed.headers["ETag"] != etag and len(changed.json) == 24


def hostile_aggregate():
    """The aggregate with A's texts and logos written by a hostile IdP operator."""
    root = etree.fromstring(fed.federation_aggregate(40, real_idps=(A, B), signer=None))
    entity = next(e for e in root.iter(f"{{{fed.NS_MD}}}EntityDescriptor") if e.get("entityID") == A.entity_id)
    ui = entity.find(f".//{{{MDUI}}}UIInfo")
    for old in ui.findall(f"{{{MDUI}}}Logo"):
        ui.remove(old)
    for name in ui.findall(f"{{{MDUI}}}DisplayName"):
        name.text = '<script>alert("x")</script> "onmouseover=alert(1) Hostile & Co'
    for url in ("http://plain.example/logo.png", "javascript:alert(1)", "data:text/html;base64,PHNjcmlwdD4=",
                "data:image/png;base64," + "A" * (33 * 1024), "https://good.example/logo.png"):
        logo = etree.SubElement(ui, f"{{{MDUI}}}Logo", height="32", width="32")
        logo.text = url
    return md.sign_metadata(etree.tostring(root, xml_declaration=True, encoding="UTF-8"))


def test_what_idps_publish_is_escaped_and_only_safe_logos_shown(metadata_server, tmp_path):
    _, app = federation_site(metadata_server, tmp_path, hostile_aggregate())
    page = app.get("/saml/discovery/fed", params={"q": "hostile", "return_to": '"><script>alert(2)</script>'})
    (href, name, _, logo), = listed(page)
    assert name.startswith('<script>alert("x")</script>') and logo == "https://good.example/logo.png"
    assert "<script>alert" not in page.text and "javascript:" not in page.text and "data:text" not in page.text
    assert "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &quot;onmouseover=alert(1) Hostile &amp; Co" in page.text
    assert 'value="&quot;&gt;&lt;script&gt;alert(2)&lt;/script&gt;"' in page.text
    assert dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(href).query))["return_to"] == \
        '"><script>alert(2)</script>'
    answer = app.get("/saml/discovery/fed", params={"q": "hostile", "format": "json"})
    assert answer.json["shown"][0]["logo"] == "https://good.example/logo.png"
    item = next(i for i in app.get("/saml/discovery/fed/feed").json if i["entityID"] == A.entity_id)
    assert [logo["value"] for logo in item["Logos"]] == ["https://good.example/logo.png"]


# ---- an external discovery service ------------------------------------------------


@pytest.mark.parametrize("discovery_url, joiner", [
    ("https://ds.example.org/ds", "?"), ("https://ds.example.org/ds?lang=de", "&")])
def test_an_external_discovery_service(metadata_server, tmp_path, discovery_url, joiner):
    config, app = federation_site(metadata_server, tmp_path, fed.federation_aggregate(40, real_idps=(A, B)),
                                  discovery_url=discovery_url)
    start = app.get("/sso/saml/fed", params={"return_to": "/reports"})
    location = start.headers["Location"]
    assert location.startswith(discovery_url + joiner)
    query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(location).query))
    login_start = "https://sp.example.test/sso/saml/fed?return_to=%2Freports"
    assert query == {"entityID": config["settings"]["sp"]["entityId"], "return": login_start,
                     "returnIDParam": "entityID"} | ({"lang": "de"} if joiner == "&" else {})
    # The service returns the person with the choice.
    back = app.get(query["return"] + "&" + urllib.parse.urlencode({query["returnIDParam"]: A.entity_id}))
    assert back.headers["Location"].startswith(A.sso_url + "?SAMLRequest=")
    # The SP metadata names where it returns to.
    root = etree.fromstring(app.get("/saml/metadata/fed").body)
    ns = {"md": fed.NS_MD, "idpdisc": discovery.DISCOVERY_RESPONSE_BINDING}
    responses = root.findall("md:SPSSODescriptor/md:Extensions/idpdisc:DiscoveryResponse", ns)
    assert [(r.get("Binding"), r.get("Location"), r.get("index")) for r in responses] == [
        (discovery.DISCOVERY_RESPONSE_BINDING, "https://sp.example.test/sso/saml/fed", "1")]
    assert root.find("md:SPSSODescriptor", ns)[0].tag == f"{{{fed.NS_MD}}}Extensions"  # first, as the schema says


def test_signed_sp_metadata_signs_the_discovery_response(metadata_server, tmp_path):
    import xmlsec

    config, app = federation_site(metadata_server, tmp_path, fed.federation_aggregate(40, real_idps=(A, B)),
                                  discovery_url="https://ds.example.org/ds")
    config["settings"].setdefault("security", {})["signMetadata"] = True
    root = etree.fromstring(app.get("/saml/metadata/fed").body)
    xmlsec.tree.add_ids(root, ["ID"])
    context = xmlsec.SignatureContext()
    cert = config["settings"]["sp"]["x509cert"]
    pem = "-----BEGIN CERTIFICATE-----\n" + cert + "\n-----END CERTIFICATE-----\n"
    context.key = xmlsec.Key.from_memory(pem.encode(), xmlsec.KeyFormat.CERT_PEM)
    context.verify(xmlsec.tree.find_node(root, xmlsec.constants.NodeSignature))
    assert b"DiscoveryResponse" in etree.tostring(root)


def test_a_discovery_url_that_is_no_http_url_is_refused(tmp_path):
    config = entry({"metadata_url": "x.xml", "discovery_url": "javascript:alert(1)"}, tmp_path)
    with pytest.raises(ValueError, match='"discovery_url" must be an http\\(s\\) URL'):
        federation.federation_policy(config)


# ---- what else may be asked of the routes -----------------------------------------


def test_the_page_while_the_list_is_not_available_and_other_requests(metadata_server, tmp_path):
    config = entry({"metadata_url": metadata_server.url("/not-published.xml")}, tmp_path / "cache")
    app = sp_app.make_app(auth_settings(("fed", config), ("idp1", idp_config("idp1"))), ConfigStorage(sp_app.USERS))
    config["enabled"] = True
    busy = app.get("/saml/discovery/fed", status=503)
    assert busy.headers["Retry-After"] == "60" and "not available at the moment" in busy.text
    assert app.get("/saml/discovery/fed/feed", status=503).headers["Retry-After"] == "60"
    app.get("/saml/discovery/idp1", status=404)  # no federation's entry
    app.get("/saml/discovery/nobody", status=404)
    app.post("/saml/discovery/fed", status=405)
    app.get("/saml/discovery", status=404)  # the site's page: not asked for


def site_settings(tmp_path, discovery_key):
    federation_entry = entry({"metadata_url": "unused.xml"}, tmp_path / "cache")
    federation_entry["enabled"] = True
    settings = auth_settings(("staff", idp_config("staff", display_name="Staff <and> guests")),
                             ("alumni", idp_config("alumni")), ("old", idp_config("old", enabled=False)),
                             ("fed", federation_entry))
    settings["authentication_policies"]["saml"]["discovery"] = discovery_key
    return settings


def test_the_sites_page_of_every_entry(tmp_path):
    app = sp_app.make_app(site_settings(tmp_path, True), ConfigStorage(sp_app.USERS))
    page = app.get("/saml/discovery", params={"return_to": "/reports"})
    assert page.headers["Cache-Control"] == "no-store" and page.text.count("<h1>") == 1
    rows = [(href, name) for href, name, _, _ in listed(page)]
    assert rows == [("/sso/saml/alumni?return_to=%2Freports", "alumni"),
                    ("/saml/discovery/fed?return_to=%2Freports", "fed"),
                    ("/sso/saml/staff?return_to=%2Freports", "Staff <and> guests")]
    assert "Staff &lt;and&gt; guests" in page.text
    assert [h for h, _, _, _ in listed(app.get("/saml/discovery", params={"q": "guests"}))] == [
        "/sso/saml/staff"]


@pytest.mark.parametrize("value", ["yes", 1, None])
def test_the_sites_page_key_must_be_true_or_false(tmp_path, value):
    from pyramid.exceptions import ConfigurationError

    with pytest.raises(ConfigurationError, match='"discovery" must be true or false'):
        sp_app.make_app(site_settings(tmp_path, value), ConfigStorage(sp_app.USERS))


def test_without_a_federation_nothing_of_this_is_routed_or_imported():
    import subprocess
    import sys

    code = ("import sys; from tests.support import sp_app; from tests.support.settings import auth_settings, "
            "idp_config; from velmora.storage import ConfigStorage; "
            "app = sp_app.make_app(auth_settings(('idp1', idp_config('idp1'))), ConfigStorage(sp_app.USERS)); "
            "assert app.get('/saml/discovery/idp1', status=404); assert app.get('/saml/discovery', status=404); "
            "print(sorted(m for m in sys.modules if m.startswith('velmora_saml.')))")
    found = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                           env=child_env(), cwd=str(ROOT)).stdout
    assert "velmora_saml.discovery" not in found and "velmora_saml.saml" in found


# ---- the C++ search takes only what it expects ---------------------------------------


@pytest.mark.parametrize("call", [
    lambda index: federation.choice_index([(" a ", " b ")]),
    lambda index: federation.choice_index([(" a ", " b ", 3)]),
    lambda index: federation.choice_index([[" a ", " b ", "c"]]),
    lambda index: federation.choice_index(5),
    lambda index: federation.search_choices(object(), [], "", [], 5),
    lambda index: federation.search_choices(__import__("datetime").datetime_CAPI, [("a", None)], "", [], 5),
    lambda index: federation.search_choices(index, [("a",)], "", [], 5),
    lambda index: federation.search_choices(index, [("a", [1])], "", [], 5),
    lambda index: federation.search_choices(index, [("a", None)], None, [], 5),
    lambda index: federation.search_choices(index, [("a", None)], "", ["x"], 5),
    lambda index: federation.search_choices(index, [("a", None)], "", [], "5"),
], ids=["pair", "not text", "a list", "no iterable", "no index", "another capsule", "word alone", "parts not text",
        "whole not text", "boost not a number", "limit not a number"])
def test_the_search_refuses_what_it_cannot_read(call):
    index = federation.choice_index([(" alpha ", " a.example ", "alpha")])
    with pytest.raises((TypeError, ValueError)):
        call(index)
    assert federation.search_choices(index, [("alp", None)], "alp", [0, 99, -1], 5) == ([0], 1)
    assert federation.search_choices(index, [("alp", None)], "", [], -3) == ([], 1)
