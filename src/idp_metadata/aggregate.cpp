// index_aggregate and fetch_document: a federation's signed metadata (an
// aggregate of many entities, or one entity as a metadata query service
// answers it) checked once and cut into what each IdP of it needs: the
// toolkit's settings of its IdP side (as the toolkit's parser makes them),
// its scopes, its registration authority and what a person choosing it
// reads (mdui). The federation's refresh process runs this; no worker
// parses an aggregate.
#include <chrono>
#include <string>

#include "../glue/bounded_read.hpp"
#include "../glue/xpath.hpp"
#include "idp_metadata.hpp"
#include "state.hpp"

namespace idp_metadata {

using vs::call;
using vs::call_kw;
using vs::call_method;
using vs::setitem;
using vs::ustr;

namespace {

// How many IdPs left out of a federation a refusal names.
constexpr Py_ssize_t kProblemsShown = 10;
constexpr const char* kRedirect = "urn:oasis:names:tc:SAML:2.0:bindings:HTTP-Redirect";
const vs::Name xml_lang{"{http://www.w3.org/XML/1998/namespace}lang"};
const vs::Name regexp{"regexp"};
const vs::Name height{"height"};
const vs::Name width{"width"};

// Process-wide (module_state.aggregate_tools), made on first use, without a
// C++ static guard (see document.cpp).
const AggregateTools& aggregate_tools() {
  AggregateTools& tools = module_state.aggregate_tools;
  if (tools.entity_id) return tools;
  auto compile = [](const std::string& expression) { return xpath::compile(expression).release(); };
  // As the toolkit's parser reads an entity: its first IDPSSODescriptor.
  const std::string idp = "md:IDPSSODescriptor[1]";
  const std::string ui = idp + "/md:Extensions/mdui:UIInfo/";
  if (tools.entity_id) return tools;
  tools.want_signed = compile("string(" + idp + "/@WantAuthnRequestsSigned)");
  tools.name_id_format = compile(idp + "/md:NameIDFormat[1]/text()");
  tools.sso = compile("string(" + idp + "/md:SingleSignOnService[@Binding='" + kRedirect + "'][1]/@Location)");
  tools.slo = compile("string(" + idp + "/md:SingleLogoutService[@Binding='" + kRedirect + "'][1]/@Location)");
  tools.signing = compile(idp + "/md:KeyDescriptor[not(contains(@use, 'encryption'))]"
                          "/ds:KeyInfo/ds:X509Data/ds:X509Certificate/text()");
  tools.encryption = compile(idp + "/md:KeyDescriptor[not(contains(@use, 'signing'))]"
                             "/ds:KeyInfo/ds:X509Data/ds:X509Certificate/text()");
  tools.scopes = compile(idp + "/md:Extensions/shibmd:Scope | md:Extensions/shibmd:Scope");
  tools.registration = compile("string(md:Extensions/mdrpi:RegistrationInfo/@registrationAuthority)");
  tools.display_names = compile(ui + "mdui:DisplayName");
  tools.descriptions = compile(ui + "mdui:Description");
  tools.information_urls = compile(ui + "mdui:InformationURL");
  tools.privacy_urls = compile(ui + "mdui:PrivacyStatementURL");
  tools.logos = compile(ui + "mdui:Logo");
  tools.keywords = compile(ui + "mdui:Keywords");
  tools.domain_hints = compile(idp + "/md:Extensions/mdui:DiscoHints/mdui:DomainHint");
  tools.organization_names = compile("md:Organization/md:OrganizationDisplayName");
  tools.entity_count = compile("count(//md:EntityDescriptor)");
  tools.entity_id = compile("string(@entityID)");
  return tools;
}

Ref text_of(PyObject* xpath, PyObject* node) {
  Ref found = call(xpath, {node});
  return PyUnicode_Check(found.get()) ? found : vs::str(found.get());
}

bool empty(PyObject* text) { return !PyUnicode_Check(text) || PyUnicode_GET_LENGTH(text) == 0; }

// The certificates' base64 texts, white space removed as the toolkit removes it.
Ref certificate_texts(PyObject* xpath, PyObject* entity) {
  Ref found = vs::new_list();
  Ref iterator = vs::iterate(call(xpath, {entity}).get());
  while (Ref text = vs::next(iterator.get()))
    vs::append(found.get(), vs::join(ustr("").get(), call_method(text.get(), names::split).get()).get());
  return found;
}

// The IdP side of the toolkit's settings, as its parser makes it of an
// entity: entityId, the HTTP-Redirect single sign-on and logout services,
// the certificates (one as x509cert, several as x509certMulti), the
// WantAuthnRequestsSigned flag and the first NameIDFormat.
Ref toolkit_settings(const AggregateTools& tools, PyObject* entity, PyObject* entity_id) {
  Ref settings = vs::new_dict();
  Ref idp = vs::new_dict();
  setitem(idp.get(), names::entityId, entity_id);
  auto service = [&](PyObject* xpath, PyObject* key) {
    Ref url = text_of(xpath, entity);
    if (empty(url.get())) return;
    Ref endpoint = vs::new_dict();
    setitem(endpoint.get(), names::url, url.get());
    setitem(endpoint.get(), names::binding, ustr(kRedirect).get());
    setitem(idp.get(), key, endpoint.get());
  };
  service(tools.sso, names::singleSignOnService);
  service(tools.slo, names::singleLogoutService);
  Ref signing = certificate_texts(tools.signing, entity);
  Ref encryption = certificate_texts(tools.encryption, entity);
  Py_ssize_t signing_count = vs::size(signing.get());
  Py_ssize_t encryption_count = vs::size(encryption.get());
  bool one_certificate =
      (signing_count + encryption_count == 1) ||
      (signing_count == 1 && encryption_count == 1 &&
       vs::compare(vs::item(signing.get(), 0).get(), vs::item(encryption.get(), 0).get(), Py_EQ));
  if (one_certificate) {
    setitem(idp.get(), names::x509cert, vs::item(signing_count ? signing.get() : encryption.get(), 0).get());
  } else if (signing_count + encryption_count > 0) {
    Ref multi = vs::new_dict();
    if (signing_count) setitem(multi.get(), names::signing, signing.get());
    if (encryption_count) setitem(multi.get(), names::encryption, encryption.get());
    setitem(idp.get(), names::x509certMulti, multi.get());
  }
  setitem(settings.get(), names::idp, idp.get());
  Ref want_signed = text_of(tools.want_signed, entity);
  if (!empty(want_signed.get())) {
    Ref security = vs::new_dict();
    bool yes = PyUnicode_CompareWithASCIIString(want_signed.get(), "true") == 0;
    setitem(security.get(), names::authnRequestsSigned, yes ? Py_True : Py_False);
    setitem(settings.get(), names::security, security.get());
  }
  Ref formats = call(tools.name_id_format, {entity});
  if (vs::size(formats.get()) > 0) {
    Ref sp = vs::new_dict();
    setitem(sp.get(), names::NameIDFormat, vs::item(formats.get(), 0).get());
    setitem(settings.get(), names::sp, sp.get());
  }
  return settings;
}

// [[text, lang], ...] of the elements (or [[text, lang, height, width]] for logos).
Ref texts_with_lang(PyObject* xpath, PyObject* entity, bool sizes = false) {
  Ref found = vs::new_list();
  Ref iterator = vs::iterate(call(xpath, {entity}).get());
  while (Ref element = vs::next(iterator.get())) {
    Ref text = vs::getattr(element.get(), names::text);
    if (!PyUnicode_Check(text.get())) continue;
    Ref stripped = call_method(text.get(), names::strip);
    if (PyUnicode_GET_LENGTH(stripped.get()) == 0) continue;
    Ref lang = call_method(element.get(), names::get, {xml_lang});
    Ref row = vs::new_list();
    vs::append(row.get(), stripped.get());
    vs::append(row.get(), lang.get());
    if (sizes) {
      vs::append(row.get(), call_method(element.get(), names::get, {height}).get());
      vs::append(row.get(), call_method(element.get(), names::get, {width}).get());
    }
    vs::append(found.get(), row.get());
  }
  return found;
}

// What a person choosing the IdP reads of it (mdui, the organization).
Ref user_interface(const AggregateTools& tools, PyObject* entity) {
  Ref shown = vs::new_dict();
  const std::pair<const vs::Name*, PyObject*> lists[] = {
      {&names::display_names, tools.display_names},   {&names::descriptions, tools.descriptions},
      {&names::information_urls, tools.information_urls}, {&names::privacy_urls, tools.privacy_urls},
      {&names::keywords, tools.keywords},             {&names::domain_hints, tools.domain_hints},
      {&names::organization_names, tools.organization_names}};
  for (const auto& [key, xpath] : lists) {
    Ref found = texts_with_lang(xpath, entity);
    if (vs::size(found.get()) > 0) setitem(shown.get(), *key, found.get());
  }
  Ref logos = texts_with_lang(tools.logos, entity, true);
  if (vs::size(logos.get()) > 0) setitem(shown.get(), names::logos, logos.get());
  return shown;
}

// [[scope, is a regular expression], ...]
Ref scopes_of(const AggregateTools& tools, PyObject* entity) {
  Ref found = vs::new_list();
  Ref iterator = vs::iterate(call(tools.scopes, {entity}).get());
  while (Ref element = vs::next(iterator.get())) {
    Ref text = vs::getattr(element.get(), names::text);
    if (!PyUnicode_Check(text.get())) continue;
    Ref value = call_method(text.get(), names::strip);
    Ref flag = call_method(element.get(), names::get, {regexp});
    bool pattern = PyUnicode_Check(flag.get()) && (PyUnicode_CompareWithASCIIString(flag.get(), "true") == 0 ||
                                                    PyUnicode_CompareWithASCIIString(flag.get(), "1") == 0);
    vs::append(found.get(), vs::tuple_of({value.get(), pattern ? Py_True : Py_False}).get());
  }
  return found;
}

Ref entity_record(const AggregateTools& tools, PyObject* entity) {
  Ref entity_id = text_of(tools.entity_id, entity);
  Ref record = vs::new_dict();
  setitem(record.get(), names::entity_id, entity_id.get());
  setitem(record.get(), names::settings, toolkit_settings(tools, entity, entity_id.get()).get());
  setitem(record.get(), names::scopes, scopes_of(tools, entity).get());
  Ref authority = text_of(tools.registration, entity);
  setitem(record.get(), names::registration_authority, empty(authority.get()) ? Py_None : authority.get());
  setitem(record.get(), names::ui, user_interface(tools, entity).get());
  return record;
}

double wall_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

// index_aggregate(document, policy)
Ref index_aggregate(const Args& a) {
  Ref cert_setting = vs::item(a[1], 1);
  Ref fingerprint = vs::item(a[1], 2);
  if (cert_setting.get() == Py_None && fingerprint.get() == Py_None)
    vs::raise_new(PyExc_ValueError, "a federation's metadata is used only signed: give its signing key");
  const DocumentTools& document = tools();
  const AggregateTools& aggregate = aggregate_tools();
  Ref root = call_method(document.xml_class, names::to_etree, {a[0]});
  const char* signed_by = verify_root_signature(root.get(), cert_setting.get(), fingerprint.get());

  double now = wall_now();
  Ref valid_until = vs::none();
  Ref valid_until_text = call_method(root.get(), names::get, {names::validUntil});
  if (valid_until_text.get() != Py_None) {
    valid_until = call_method(document.utils_class, names::parse_SAML_to_time, {valid_until_text.get()});
    if (vs::as_double(valid_until.get()) <= now)
      vs::raise_new(PyExc_ValueError,
                    vs::concat({ustr("the metadata expired at ").get(), vs::text(valid_until_text.get()).get()}).get());
  }
  Ref cache_duration = call_method(root.get(), names::get, {names::cacheDuration});
  Ref cache_until = vs::none();
  if (cache_duration.get() != Py_None) {
    Ref timestamp = vs::check(PyLong_FromDouble(now));
    cache_until = call_method(document.utils_class, names::parse_duration, {cache_duration.get(), timestamp.get()});
  }

  // An IdP no login could use (no HTTP-Redirect single sign-on service, no
  // signing certificate) is left out; the first few are named.
  Ref entities = vs::new_list();
  Ref problems = vs::new_list();
  Py_ssize_t left_out = 0;
  Ref iterator = vs::iterate(call(document.idp_entities, {root.get()}).get());
  while (Ref entity = vs::next(iterator.get())) {
    Ref record = entity_record(aggregate, entity.get());
    Ref idp = vs::getitem(vs::getitem(record.get(), names::settings).get(), names::idp);
    const char* problem = !vs::getitem_opt(idp.get(), names::singleSignOnService)
                              ? "no single sign-on service (HTTP-Redirect)"
                          : !vs::getitem_opt(idp.get(), names::x509cert) && !vs::getitem_opt(idp.get(), names::x509certMulti)
                              ? "no signing certificate"
                              : nullptr;
    if (!problem) {
      vs::append(entities.get(), record.get());
      continue;
    }
    if (++left_out <= kProblemsShown)
      vs::append(problems.get(), vs::concat({vs::getitem(record.get(), names::entity_id).get(), ustr(": ").get(),
                                             ustr(problem).get()})
                                     .get());
  }

  Ref facts = vs::new_dict();
  setitem(facts.get(), names::fetched_at, vs::check(PyFloat_FromDouble(now)).get());
  setitem(facts.get(), names::valid_until, valid_until.get());
  setitem(facts.get(), names::cache_duration, cache_duration.get());
  setitem(facts.get(), names::cache_until, cache_until.get());
  setitem(facts.get(), names::signed_by, ustr(signed_by).get());
  Ref counted = call(aggregate.entity_count, {root.get()});
  setitem(facts.get(), names::entity_count, vs::integer(static_cast<long>(vs::as_double(counted.get()))).get());
  setitem(facts.get(), names::problems, problems.get());
  setitem(facts.get(), names::left_out, vs::integer(static_cast<long>(left_out)).get());
  return vs::tuple_of({facts.get(), entities.get()});
}

// fetch_document(url, timeout, max_bytes, accept=None)
Ref fetch_document(const Args& a) {
  double seconds = vs::as_double(a[1]);
  auto deadline = bounded_read::Clock::now() + std::chrono::duration_cast<bounded_read::Clock::duration>(
                                                   std::chrono::duration<double>(seconds));
  return bounded_read::read_bounded(a[0], a[1], vs::as_ssize(a[2]), deadline, a[3] == Py_None ? nullptr : a[3]);
}

}  // namespace idp_metadata
