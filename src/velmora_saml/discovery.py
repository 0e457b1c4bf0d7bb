"""Choosing an IdP: the discovery page of a federation entry, its feed, the
external discovery service, and the site's page of every IdP entry.

- ``GET /saml/discovery/<id>`` (route ``saml_discovery``): the federation's
  IdPs by their display name in the language of Accept-Language, with a
  search that works without JavaScript (``?q=``) and answers as one types
  with it; each name leads to the login start of that IdP, through this
  page (``?entityID=``), which remembers the person's last three choices in
  the ``velmora_saml_idp`` cookie.
- ``GET /saml/discovery/<id>/feed`` (route ``saml_discovery_feed``): the
  same IdPs as JSON in the form embedded discovery services read, with an
  ETag.
- A login start of a federation entry that names no IdP goes to the page,
  or, when the federation mapping has ``"discovery_url"``, to that external
  discovery service (SAML IdP Discovery Protocol); the SP metadata then
  names the login start as its ``idpdisc:DiscoveryResponse``.
- ``GET /saml/discovery`` (route ``saml_site_discovery``, with
  ``"discovery": true`` in the SAML settings): every enabled IdP entry, a
  federation's as one line leading to its own page.

Every text of the metadata is written by an IdP's operator, not by the
federation: all of it is escaped, and a logo is shown only from an https
URL or as a small ``data:image/...`` URI. The per-IdP data comes from the
federation's refresh process (``discovery.json`` of the cache's current
generation), read once per generation by each worker that serves these
pages; the login callback never comes here.

Off the login path: plain Python.
"""

import hashlib
import heapq
import html
import json
import os
import re
import threading
import time
import unicodedata
import urllib.parse

COOKIE = "velmora_saml_idp"
COOKIE_MAX_AGE = 90 * 24 * 3600
# The choices the cookie keeps, the latest first.
RECENT_KEPT = 3
# The most IdPs one answer lists; the count of the others is said.
SHOWN_AT_MOST = 50
# A data: logo larger than this (its URI's characters) is not shown.
LOGO_DATA_MAX = 32 * 1024
# How long a client may keep the feed.
FEED_MAX_AGE = 600
# Longer entity IDs are not kept in the cookie (nor read back from it).
ENTITY_ID_MAX = 1024

_WORD = re.compile(r"\w+")
# Letters that Unicode does not decompose into a base letter and a mark.
_LETTERS = str.maketrans({"ø": "o", "Ø": "o", "ł": "l", "Ł": "l", "đ": "d", "Đ": "d", "ı": "i", "æ": "ae",
                          "Æ": "ae", "œ": "oe", "Œ": "oe", "þ": "th", "Þ": "th", "ð": "d"})
_DATA_IMAGE = re.compile(r"data:image/(png|gif|jpeg|webp|svg\+xml)(;[a-z0-9=.+-]*)*,[^\s\"'<>]*\Z", re.I)
_HTTPS = re.compile(r"https://[^\s\"'<>\\]+\Z", re.I)


def fold(text):
    """`text` for comparing as a person reads it: case and accents folded."""
    decomposed = unicodedata.normalize("NFKD", text.translate(_LETTERS))
    return "".join(c for c in decomposed if not unicodedata.combining(c)).casefold()


def _words(text):
    return _WORD.findall(fold(text))


def shown_logo(logos):
    """The logo to show of [[url, lang, height, width], ...]: an https URL,
    or a data: image of at most LOGO_DATA_MAX characters, the one nearest to
    32 pixels high; None when none may be shown."""
    usable = [logo for logo in logos or () if isinstance(logo, list) and logo and isinstance(logo[0], str)
              and (_HTTPS.match(logo[0]) or (len(logo[0]) <= LOGO_DATA_MAX and _DATA_IMAGE.match(logo[0])))]

    def distance(logo):
        try:
            return abs(int(logo[2]) - 32)
        except (IndexError, TypeError, ValueError):
            return 1000

    return min(usable, key=distance)[0] if usable else None


def languages(header):
    """The languages of an Accept-Language header, preferred first (q=0
    left out), then English."""
    tags = []
    for position, part in enumerate((header or "")[:1000].split(",")[:20]):
        tag, _, parameters = part.strip().partition(";")
        quality = 1.0
        if parameters.strip().startswith("q="):
            try:
                quality = float(parameters.strip()[2:])
            except ValueError:
                continue
        if tag and tag != "*" and quality > 0:
            tags.append((-quality, position, tag.strip().lower()))
    return [tag for _, _, tag in sorted(tags)] + ["en"]


def pick(texts, preferred):
    """(text, lang) of [[text, lang], ...] in the first preferred language
    there is (its primary subtag will do), else the first."""
    for wanted in preferred:
        for text, lang in texts:
            if lang == wanted:
                return text, lang
        primary = wanted.split("-")[0]
        for text, lang in texts:
            if lang.split("-")[0] == primary:
                return text, lang
    return texts[0]


def _pairs(rows):
    """[[text, lang], ...] from the record, lang lower-cased ("" when none)."""
    return [(row[0], (row[1] or "").lower()) for row in rows or ()
            if isinstance(row, (list, tuple)) and len(row) >= 2 and isinstance(row[0], str)
            and (row[1] is None or isinstance(row[1], str))]


def _searched(texts):
    """Words between single spaces, one space at each end: " word" finds a
    word's start, " word " the whole word, with one substring test. Of a
    domain or scope, the whole of it too ("uni-koln.example")."""
    words = [w for text in texts for w in _words(text)]
    words += [fold(text) for text in texts if "." in text and not _WORD.fullmatch(fold(text))]
    return " " + " ".join(words) + " "


class Choice:
    """One IdP a person may choose (an IdP entry of the site, on its page),
    with what its search and its feed need."""

    __slots__ = ("key", "names", "logo", "names_text", "other_text", "sort_key", "domain", "feed", "href",
                 "registration_authority")

    def __init__(self, key, names, logo=None, names_text=" ", other_text=" ", sort_key="", domain=None, feed=None,
                 href=None, registration_authority=None):
        self.key = key  # the entity ID (an IdP entry's id on the site page)
        self.names = names  # [(text, lang)], never empty
        self.logo = logo
        self.names_text = names_text  # the names' words (_searched), folded
        self.other_text = other_text  # the keywords', scopes' and domains' words
        self.sort_key = sort_key
        # Shown beside the name when another choice shown has the same name.
        self.domain = domain
        self.feed = feed  # its item of the feed, as JSON text
        self.href = href
        self.registration_authority = registration_authority

    @classmethod
    def made(cls, key, names, searched_names, searched_others, **rest):
        return cls(key, names, names_text=_searched(searched_names), other_text=_searched(searched_others),
                   sort_key=fold(pick(names, ["en"])[0]), **rest)

    def stored(self):
        """What the refresh process writes of it (discovery.json)."""
        return {"entity_id": self.key, "registration_authority": self.registration_authority, "names": self.names,
                "logo": self.logo, "names_text": self.names_text, "other_text": self.other_text,
                "sort_key": self.sort_key, "domain": self.domain, "feed": self.feed}

    @classmethod
    def from_stored(cls, stored):
        return cls(stored["entity_id"], [tuple(pair) for pair in _pairs(stored["names"])] or [(stored["entity_id"], "")],
                   stored.get("logo"), stored["names_text"], stored["other_text"], stored["sort_key"],
                   stored.get("domain"), stored.get("feed"), registration_authority=stored.get("registration_authority"))


def choice_of(record):
    """The Choice of an IdP's record (what idp_metadata.index_aggregate made of it)."""
    ui = record.get("ui") or {}
    entity_id = record["entity_id"]
    display = _pairs(ui.get("display_names"))
    organization = _pairs(ui.get("organization_names"))
    names = display or organization or [(entity_id, "")]
    keywords = [text.replace("+", " ") for text, _ in _pairs(ui.get("keywords"))]
    scopes = [scope[0] for scope in record.get("scopes") or ()
              if isinstance(scope, (list, tuple)) and scope and isinstance(scope[0], str) and not scope[1]]
    hints = [text for text, _ in _pairs(ui.get("domain_hints"))]
    logos = [logo for logo in ui.get("logos") or [] if isinstance(logo, (list, tuple))]
    domain = (hints + scopes)[0] if hints + scopes else urllib.parse.urlsplit(entity_id).hostname or entity_id
    return Choice.made(entity_id, names, [text for text, _ in display + organization], keywords + scopes + hints,
                       logo=shown_logo(logos), domain=domain,
                       feed=json.dumps(_feed_item(entity_id, ui, logos), ensure_ascii=False, separators=(",", ":")),
                       registration_authority=record.get("registration_authority"))


def stored_choices(records):
    """discovery.json of a generation: what the page and the feed read of every IdP."""
    return [choice_of(record).stored() for record in records]


def _feed_item(entity_id, ui, logos):
    item = {"entityID": entity_id}
    for key, field in (("DisplayNames", "display_names"), ("Descriptions", "descriptions"),
                       ("InformationURLs", "information_urls"), ("PrivacyStatementURLs", "privacy_urls")):
        values = [{"value": text, "lang": lang} if lang else {"value": text} for text, lang in _pairs(ui.get(field))]
        if values:
            item[key] = values
    shown = []
    for logo in logos:
        if shown_logo([logo]) is None:
            continue  # the page's rule: https or a small data: image
        entry = {"value": logo[0]}
        for position, key in ((2, "height"), (3, "width")):
            if len(logo) > position and logo[position] is not None:
                entry[key] = str(logo[position])
        if len(logo) > 1 and logo[1]:
            entry["lang"] = logo[1]
        shown.append(entry)
    if shown:
        item["Logos"] = shown
    return item


# ---- search -----------------------------------------------------------------------


def query_words(query):
    """What a query asks, word by word: (folded word, its parts or None);
    of an e-mail address, its domain."""
    words = []
    for chunk in fold(query or "")[:200].split()[:10]:
        if "@" in chunk:
            chunk = chunk.rsplit("@", 1)[1]
        chunk = chunk.strip(".,;:!?\"'()[]{}<>«»“”„")
        if not chunk:
            continue
        parts = _WORD.findall(chunk)
        if not parts:
            continue
        words.append((chunk, None if parts == [chunk] else parts))
    return sorted(words, key=lambda word: -len(word[0]))


def choice_index(choices):
    """The search index of the choices (velmora_saml.federation's, in C++)."""
    from velmora_saml import federation

    return federation.choice_index([(c.names_text, c.other_text, c.sort_key) for c in choices])


def search(choices, query, recent=(), index=None):
    """(the choices to show, how many match): the best SHOWN_AT_MOST of
    those that match every word of `query` (a whole word of a name counts
    most, then a word's start, then a keyword, scope or domain; a name that
    starts with the query gains), a recent choice first; with no query,
    every choice when there are no more than SHOWN_AT_MOST, else none.
    `index`: choice_index(choices), when kept."""
    from velmora_saml import federation

    words = query_words(query)
    if not words:
        if len(choices) > SHOWN_AT_MOST:
            return [], len(choices)
        return sorted(choices, key=lambda choice: choice.sort_key), len(choices)
    recent = set(recent)
    boosted = [number for number, choice in enumerate(choices) if choice.key in recent] if recent else []
    numbers, total = federation.search_choices(index if index is not None else choice_index(choices), words,
                                               fold(query).strip(), boosted, SHOWN_AT_MOST)
    return [choices[number] for number in numbers], total


# ---- a federation's choices, per generation of its cache ---------------------------


class Unavailable(Exception):
    """The federation's list of IdPs cannot be shown now (no document yet, or expired)."""


class FederationChoices:
    """The choices of one federation entry's current generation."""

    def __init__(self, generation, choices, valid_until):
        self.generation = generation
        self.choices = choices
        self.by_key = {choice.key: choice for choice in choices}
        self.index = choice_index(choices)
        self.valid_until = valid_until
        self._feed = None

    def search(self, query, recent=()):
        return search(self.choices, query, recent, self.index)

    def feed(self):
        """(body, ETag) of the feed, made at its first use."""
        if self._feed is None:
            body = ("[" + ",".join(choice.feed for choice in self.choices) + "]").encode("utf-8")
            self._feed = body, '"' + hashlib.sha256(body).hexdigest()[:32] + '"'
        return self._feed


_lock = threading.Lock()
# (key_dir, allow-lists) -> FederationChoices of the generation last read
_federations = {}


def _allowed(choice, policy):
    entities, authorities = policy["entities"], policy["registration_authorities"]
    if entities is not None and choice.key not in entities:
        return False
    return authorities is None or choice.registration_authority in authorities


def _read_choices(folder):
    from velmora_saml import federation_refresh

    try:
        with open(os.path.join(folder, federation_refresh.DISCOVERY_FILE), "rb") as file:
            return [Choice.from_stored(stored) for stored in json.loads(file.read())]
    except FileNotFoundError:
        pass
    # A generation written without it: every IdP's own file.
    choices = []
    entities = os.path.join(folder, "entities")
    for name in sorted(os.listdir(entities)):
        with open(os.path.join(entities, name), "rb") as file:
            choices.append(choice_of(json.loads(file.read())))
    return choices


def federation_choices(idp_config):
    """The FederationChoices of a federation entry's current generation
    (read again when the generation changes); Unavailable while there is
    none or once it has expired. A federation of MDQ alone has no list."""
    from velmora_saml import federation, federation_refresh

    policy = federation.federation_policy(idp_config)
    key_dir = policy["key_dir"]
    key = (key_dir, policy["entities"], policy["registration_authorities"])
    if policy["metadata_url"] is None:
        return FederationChoices(None, [], None)
    generation = federation_refresh.current_generation(key_dir)
    known = _federations.get(key)
    if known is None or known.generation != generation:
        with _lock:
            known = _federations.get(key)
            if known is None or known.generation != generation:
                federation_refresh.notice(policy)  # this worker's timer refreshes it from now on
                generation = federation_refresh.current_generation(key_dir)
                if generation is None:
                    raise Unavailable("the federation's metadata has not come yet")
                folder = os.path.join(key_dir, generation)
                with open(os.path.join(folder, "index.json"), "rb") as file:
                    index = json.loads(file.read())
                choices = [choice for choice in _read_choices(folder) if _allowed(choice, policy)]
                known = FederationChoices(generation, choices, index.get("valid_until"))
                _federations[key] = known
    if known.valid_until is not None and known.valid_until <= time.time():
        raise Unavailable("the federation's metadata has expired")
    return known


def forget_all():
    """Forget what was read of every federation (a host starting over, a test)."""
    with _lock:
        _federations.clear()


# ---- the cookie of recent choices --------------------------------------------------


def recent_choices(request, known=None):
    """The entity IDs of the cookie, the latest first; with `known` (a
    mapping), only those in it."""
    value = request.cookies.get(COOKIE) or ""
    found = []
    for part in value[:4096].split("|")[:10]:
        entity_id = urllib.parse.unquote(part)
        if entity_id and len(entity_id) <= ENTITY_ID_MAX and entity_id not in found \
                and (known is None or entity_id in known):
            found.append(entity_id)
    return found[:RECENT_KEPT]


def remember_choice(request, response, entity_id, known):
    """The cookie with `entity_id` first, then the earlier choices still in `known`."""
    kept = [entity_id] + [other for other in recent_choices(request, known) if other != entity_id]
    value = "|".join(urllib.parse.quote(other, safe="") for other in kept[:RECENT_KEPT])
    response.set_cookie(COOKIE, value, max_age=COOKIE_MAX_AGE, path="/", secure=request.scheme == "https",
                        httponly=True, samesite="Lax")


# ---- routes --------------------------------------------------------------------------


def _route_name(request, key, default):
    return request.registry.settings.get(f"velmora_saml.route_name.{key}") or default


def _with_query(path, **query):
    pairs = {key: value for key, value in query.items() if value is not None}
    return path + ("?" + urllib.parse.urlencode(pairs) if pairs else "")


def login_start_path(request, idp_id, entity_id=None, return_to=None):
    path = request.route_path(_route_name(request, "sso", "saml_sso"), idp_id=idp_id)
    return _with_query(path, entityID=entity_id, return_to=return_to)


def page_path(request, idp_id, return_to=None):
    path = request.route_path(_route_name(request, "discovery", "saml_discovery"), idp_id=idp_id)
    return _with_query(path, return_to=return_to)


def choose_idp_url(idp_id, idp_config, request):
    """Where a login start of a federation entry that names no IdP sends the
    person: the external discovery service the entry names, else the page."""
    from velmora_saml import federation

    return_to = request.params.get("return_to")
    discovery_url = federation.federation_policy(idp_config)["discovery_url"]
    if discovery_url is not None:
        sp_entity_id = idp_config["settings"]["sp"]["entityId"]
        login_start = request.route_url(_route_name(request, "sso", "saml_sso"), idp_id=idp_id,
                                        _query={"return_to": return_to} if return_to is not None else {})
        query = urllib.parse.urlencode({"entityID": sp_entity_id, "return": login_start,
                                        "returnIDParam": "entityID"})
        return discovery_url + ("&" if "?" in discovery_url else "?") + query
    try:
        return page_path(request, idp_id, return_to)
    except KeyError:  # the host has not included the page's route
        raise ValueError("IdP is not found: the login link names no identity provider (entityID)") from None


DISCOVERY_RESPONSE_BINDING = "urn:oasis:names:tc:SAML:profiles:SSO:idp-discovery-protocol"
MD = "urn:oasis:names:tc:SAML:2.0:metadata"


def sp_metadata(idp_config, request):
    """The SP metadata of a federation entry; with "discovery_url", it names
    the login start as the idpdisc:DiscoveryResponse the external discovery
    service returns the person to."""
    from velmora_saml import federation, idp_metadata

    if federation.federation_policy(idp_config)["discovery_url"] is None:
        return idp_metadata.sp_metadata_without_idp(idp_config)
    idp_id = request.matchdict["idp_id"]
    location = request.route_url(_route_name(request, "sso", "saml_sso"), idp_id=idp_id)
    return idp_metadata.sp_metadata_without_idp(idp_config, _metadata_with_discovery_response(location))


def _metadata_with_discovery_response(location):
    from onelogin.saml2.metadata import OneLogin_Saml2_Metadata
    from onelogin.saml2.xml_utils import OneLogin_Saml2_XML

    extension = (f'<md:Extensions><idpdisc:DiscoveryResponse xmlns:idpdisc="{DISCOVERY_RESPONSE_BINDING}" '
                 f'Binding="{DISCOVERY_RESPONSE_BINDING}" Location="{html.escape(location)}" index="1"/>'
                 "</md:Extensions>")

    class MetadataWithDiscoveryResponse(OneLogin_Saml2_Metadata):
        """The toolkit's SP metadata with the DiscoveryResponse, signed with
        the rest when the settings sign the metadata."""

        @staticmethod
        def builder(*args, **kwargs):
            document = OneLogin_Saml2_Metadata.builder(*args, **kwargs)
            opening = re.search(r"<md:SPSSODescriptor\b[^>]*>", document)
            return document[:opening.end()] + extension + document[opening.end():]

        @classmethod
        def add_x509_key_descriptors(cls, metadata, cert=None, add_encryption=True):
            metadata = super().add_x509_key_descriptors(metadata, cert, add_encryption)
            if not cert:
                return metadata
            # The keys went in first; md:Extensions comes before them.
            root = OneLogin_Saml2_XML.to_etree(metadata)
            descriptor = root.find(f"{{{MD}}}SPSSODescriptor")
            extensions = descriptor.find(f"{{{MD}}}Extensions")
            descriptor.remove(extensions)
            descriptor.insert(0, extensions)
            return OneLogin_Saml2_XML.to_string(root)

    return MetadataWithDiscoveryResponse


# ---- the page ----------------------------------------------------------------------------

_STYLE = """
body{font:16px/1.45 system-ui,sans-serif;margin:0;color:#1b1b1b;background:#f6f6f4}
main{max-width:40rem;margin:0 auto;padding:1rem}
h1{font-size:1.5rem;margin:.5rem 0 1rem}h2{font-size:1rem;margin:1.25rem 0 .5rem;color:#444}
form{display:flex;flex-wrap:wrap;gap:.5rem;align-items:end}
label{flex-basis:100%;font-weight:600}
input[type=search]{flex:1;min-width:0;font:inherit;padding:.6rem;border:2px solid #555;border-radius:4px}
button{font:inherit;padding:.6rem 1rem;border:2px solid #1d4f91;background:#1d4f91;color:#fff;border-radius:4px}
ul{list-style:none;margin:0;padding:0}
li a{display:flex;align-items:center;gap:.75rem;padding:.6rem;margin:.25rem 0;background:#fff;
border:1px solid #ccc;border-radius:4px;color:#0b3d7a;text-decoration:none;overflow-wrap:anywhere}
li a:hover,li a:focus{border-color:#0b3d7a;outline:3px solid #f0b429;outline-offset:1px}
li img{width:32px;height:32px;object-fit:contain;flex:none}
li small{color:#555;margin-left:auto}
.none{width:32px;flex:none}
p.note{color:#444}
""".strip()

# Searches as the person types, through the page's own JSON answer
# (?format=json): the same search as without JavaScript; the list is built
# with DOM calls (textContent), never from markup. Arrow keys move between
# the search box and the names. A logo that does not load leaves a blank,
# not a broken image.
_SCRIPT = """
(function(){
var box=document.getElementById("q"),list=document.getElementById("results"),
count=document.getElementById("count"),form=box.form,timer=null,asked=0;
function quiet(img){img.addEventListener("error",function(){img.style.visibility="hidden";});
if(img.complete&&img.src&&!img.naturalWidth)img.style.visibility="hidden";}
Array.prototype.forEach.call(document.querySelectorAll("main li img"),quiet);
function show(answer,number){
if(number!==asked)return;
while(list.firstChild)list.removeChild(list.firstChild);
answer.shown.forEach(function(item){
var li=document.createElement("li"),a=document.createElement("a"),name=document.createElement("span");
a.href=item.href;
if(item.logo){var img=document.createElement("img");img.alt="";quiet(img);img.src=item.logo;a.appendChild(img);}
else{var gap=document.createElement("span");gap.className="none";a.appendChild(gap);}
name.textContent=item.name;if(item.lang)name.lang=item.lang;a.appendChild(name);
if(item.domain){var small=document.createElement("small");small.textContent=item.domain;a.appendChild(small);}
li.appendChild(a);list.appendChild(li);});
count.textContent=answer.summary;list.setAttribute("data-answered",answer.query);}
function ask(){
var number=++asked,query=new URLSearchParams(new FormData(form));query.set("format","json");
fetch("?"+query.toString(),{headers:{"Accept":"application/json"},credentials:"same-origin"})
.then(function(r){return r.json();}).then(function(answer){show(answer,number);}).catch(function(){});}
box.addEventListener("input",function(){clearTimeout(timer);timer=setTimeout(ask,120);});
document.addEventListener("keydown",function(e){
if(e.key!=="ArrowDown"&&e.key!=="ArrowUp")return;
var links=Array.prototype.slice.call(document.querySelectorAll("main li a")),
at=links.indexOf(document.activeElement);
if(document.activeElement===box&&e.key==="ArrowDown"&&links.length){links[0].focus();e.preventDefault();}
else if(at>=0){e.preventDefault();
if(e.key==="ArrowDown"&&at<links.length-1)links[at+1].focus();
else if(e.key==="ArrowUp")(at>0?links[at-1]:box).focus();}});
})();
""".strip()


def _digest(text):
    import base64

    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode("ascii") + "'"


# The page's own style and script are allowed by their hashes; nothing
# else runs, and nothing is loaded from elsewhere but logos.
CONTENT_SECURITY_POLICY = (f"default-src 'none'; script-src {_digest(_SCRIPT)}; style-src {_digest(_STYLE)}; "
                           "img-src https: data:; connect-src 'self'; form-action 'self'; base-uri 'none'; "
                           "frame-ancestors 'none'")


def _summary(shown, total, query, nouns):
    one, many = nouns
    if not query_words(query):
        if total > len(shown):
            return f"{total:,} {many}: type a name, a domain or your e-mail address to find yours."
        return f"{total:,} {one if total == 1 else many}."
    if total == 0:
        return f"No {one} matches \u201c{query.strip()}\u201d."
    if total > len(shown):
        return (f"{total:,} {many} match; the best {len(shown)} are shown: "
                f"refine the search to find the {total - len(shown):,} others.")
    return f"1 {one} matches." if total == 1 else f"{total:,} {many} match."


def _items(choices, preferred, href_of):
    """What the page or the script shows of each choice: its name in the
    person's language, and its domain where two names shown are the same."""
    items = []
    for choice in choices:
        name, lang = pick(choice.names, preferred)
        items.append({"href": href_of(choice), "name": name, "lang": lang, "logo": choice.logo, "domain": None})
    names = [item["name"] for item in items]
    for item, choice in zip(items, choices):
        if names.count(item["name"]) > 1:
            item["domain"] = choice.domain
    return items


def _items_html(items):
    rows = []
    for item in items:
        logo = (f'<img src="{html.escape(item["logo"])}" alt="">' if item["logo"]
                else '<span class="none"></span>')
        lang = f' lang="{html.escape(item["lang"])}"' if item["lang"] else ""
        domain = f' <small>{html.escape(item["domain"])}</small>' if item["domain"] else ""
        rows.append(f'<li><a href="{html.escape(item["href"])}">{logo}<span{lang}>'
                    f'{html.escape(item["name"])}</span>{domain}</a></li>')
    return "\n".join(rows)


def page_html(title, heading, query, return_to, items, summary, recent_items=(), notice=None):
    hidden = (f'<input type="hidden" name="return_to" value="{html.escape(return_to)}">'
              if return_to is not None else "")
    recent = ""
    if recent_items:
        recent = (f'<section aria-labelledby="recent"><h2 id="recent">Your recent choices</h2>\n'
                  f'<ul>\n{_items_html(recent_items)}\n</ul></section>\n<h2 id="all">All</h2>\n')
    notice_html = f'<p class="note" role="alert">{html.escape(notice)}</p>\n' if notice else ""
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{html.escape(title)}</title>
<style>{_STYLE}</style>
</head>
<body>
<main>
<h1>{html.escape(heading)}</h1>
{notice_html}<form method="get" role="search">
<label for="q">Search by name, domain or e-mail address</label>
<input type="search" id="q" name="q" value="{html.escape(query or "")}" autocomplete="off" spellcheck="false">
{hidden}<button type="submit">Search</button>
</form>
{recent}<p id="count" class="note" aria-live="polite">{html.escape(summary)}</p>
<ul id="results">
{_items_html(items)}
</ul>
</main>
<script>{_SCRIPT}</script>
</body>
</html>
"""


def _answer(request, title, heading, search_in, href_of, recent=(), nouns=("institution", "institutions"),
            notice=None, status=200):
    """The page (or, with ?format=json, the JSON the script reads) of the
    choices that match ?q=: search_in(query, recent keys) -> (shown, total)."""
    from pyramid.response import Response

    query = request.GET.get("q") or ""
    return_to = request.GET.get("return_to")
    preferred = languages(request.headers.get("Accept-Language"))
    shown, total = search_in(query, [choice.key for choice in recent])
    items = _items(shown, preferred, href_of)
    summary = notice or _summary(shown, total, query, nouns)
    if request.GET.get("format") == "json":
        response = Response(json.dumps({"query": query, "summary": summary, "count": total, "shown": items}),
                            content_type="application/json", charset="utf-8", status=status)
    else:
        recent_items = _items(recent, preferred, href_of) if not query.strip() else ()
        body = page_html(title, heading, query, return_to, items, summary, recent_items,
                         notice if status != 200 else None)
        response = Response(body, content_type="text/html", charset="utf-8", status=status)
    response.headers["Content-Security-Policy"] = CONTENT_SECURITY_POLICY
    response.headers["Cache-Control"] = "no-store"  # personal: the recent choices
    response.headers["X-Content-Type-Options"] = "nosniff"
    response.headers["Referrer-Policy"] = "same-origin"
    return response


def _federation_entry(request):
    """(idp_id, the federation entry) the route names; HTTPNotFound for an
    unknown or disabled entry, or one that is no federation's."""
    from pyramid.httpexceptions import HTTPNotFound

    from velmora_saml import views

    idp_id = request.matchdict["idp_id"]
    try:
        idp_config = views.SamlAuthLoader(request.registry.settings["auth_settings"]).load_by_id(idp_id)
    except ValueError:
        raise HTTPNotFound("No such login") from None
    if not isinstance(idp_config, dict) or not idp_config.get("federation"):
        raise HTTPNotFound("No such login")
    return idp_id, idp_config


def _only_get(request):
    from pyramid.httpexceptions import HTTPMethodNotAllowed

    if request.method not in ("GET", "HEAD"):
        raise HTTPMethodNotAllowed(headers={"Allow": "GET, HEAD"})


def discovery_view(context, request):
    """The discovery page of a federation entry; with ?entityID=, the
    person's choice: remembered, and the login started"""
    from pyramid.httpexceptions import HTTPFound

    _only_get(request)
    idp_id, idp_config = _federation_entry(request)
    return_to = request.GET.get("return_to")
    title = str(idp_config.get("display_name") or idp_config.get("idp_name") or idp_id)
    try:
        known = federation_choices(idp_config)
    except Unavailable:
        response = _answer(request, title, "Choose your institution", lambda query, recent: ([], 0), None,
                           notice="The list of institutions is not available at the moment: please try again "
                                  "in a few minutes.", status=503)
        response.headers["Retry-After"] = "60"
        return response
    chosen = request.GET.get("entityID")
    if chosen is not None:
        response = HTTPFound(login_start_path(request, idp_id, chosen, return_to))
        if chosen in known.by_key:  # anything else ends on the login-failed page, unremembered
            remember_choice(request, response, chosen, known.by_key)
        return response
    recent = [known.by_key[entity_id] for entity_id in recent_choices(request, known.by_key)]
    here = request.path
    notice = None
    if not known.choices and known.generation is None:
        notice = "This login publishes no list of institutions: follow your institution's own login link."
    return _answer(request, title, "Choose your institution", known.search,
                   lambda choice: _with_query(here, entityID=choice.key, return_to=return_to), recent,
                   notice=notice)


def discovery_feed_view(context, request):
    """The federation's IdPs as JSON, as embedded discovery services read them"""
    from pyramid.httpexceptions import HTTPServiceUnavailable
    from pyramid.response import Response

    _only_get(request)
    _, idp_config = _federation_entry(request)
    try:
        known = federation_choices(idp_config)
    except Unavailable as error:
        raise HTTPServiceUnavailable(str(error), headers={"Retry-After": "60"}) from None
    body, etag = known.feed()
    headers = {"ETag": etag, "Cache-Control": f"public, max-age={FEED_MAX_AGE}"}
    if etag in request.if_none_match or etag[1:-1] in request.if_none_match:
        return Response(status=304, headers=headers)
    response = Response(body=body, content_type="application/json", charset="utf-8")
    response.headers.update(headers)
    response.headers["X-Content-Type-Options"] = "nosniff"
    return response


def site_entries(auth_settings):
    """A Choice per enabled IdP entry of the site, by "display_name", else
    "idp_name"; a federation's entry is one line leading to its own page."""
    from velmora_saml import views

    try:
        providers = auth_settings["authentication_policies"]["saml"]["identity_providers"]
    except (KeyError, TypeError):
        return []
    choices = []
    for idp_id in list(providers):
        try:
            idp_config = views.SamlAuthLoader(auth_settings).load_by_id(idp_id)
        except ValueError:
            continue  # not enabled
        name = idp_config.get("display_name") if isinstance(idp_config, dict) else None
        if not isinstance(name, str) or not name.strip():
            name = idp_config.get("idp_name") if isinstance(idp_config, dict) else None
        name = name if isinstance(name, str) and name.strip() else str(idp_id)
        federation = isinstance(idp_config, dict) and bool(idp_config.get("federation"))
        choices.append(Choice.made(str(idp_id), [(name, "")], [name], [], href=federation))
    return choices


def site_discovery_view(context, request):
    """Every enabled IdP entry of the site, to choose one from"""
    _only_get(request)
    return_to = request.GET.get("return_to")
    choices = site_entries(request.registry.settings["auth_settings"])

    def href_of(choice):
        # A federation's entry leads to its own page, any other to its login.
        if choice.href:
            return page_path(request, choice.key, return_to)
        return login_start_path(request, choice.key, None, return_to)

    return _answer(request, "Log in", "Choose how to log in", lambda query, recent: search(choices, query, recent),
                   href_of, nouns=("way to log in", "ways to log in"),
                   notice=None if choices else "No login is configured.")
