// metadata_policy and read_document: the IdP entry's metadata keys, and what
// a fetched metadata document must pass before its settings are merged.
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <iterator>
#include <string>

#include "../glue/bindings.hpp"
#include "../glue/signature_transforms.hpp"
#include "../glue/config_errors.hpp"
#include "../glue/xpath.hpp"
#include "idp_metadata.hpp"
#include "state.hpp"

namespace idp_metadata {

using vs::call;
using vs::call_kw;
using vs::call_method;
using vs::Caught;
using vs::setitem;
using vs::ustr;

namespace {

const vs::KwNames raise_exceptions_keyword{&names::raise_exceptions};
const vs::KwNames with_tail_keyword{&names::with_tail};
// How many entity IDs a refusal names before it says how many there are.
constexpr Py_ssize_t kEntityIdsShown = 10;

// ---- metadata_policy ---------------------------------------------------------

using config_errors::raise_invalid;
using config_errors::shown;

// The key's value; an empty Ref when it is missing or null.
Ref optional_key(PyObject* idp_config, PyObject* key) {
  Ref value = vs::getitem_opt(idp_config, key);
  if (value && value.get() == Py_None) return Ref();
  return value;
}

Ref refresh_interval(PyObject* value) {
  bool number = (PyLong_Check(value) && !PyBool_Check(value)) || PyFloat_Check(value);
  double seconds = number ? vs::as_double(value) : 0;  // OverflowError for an int beyond a double
  if (!(std::isfinite(seconds) && seconds > 0))
    raise_invalid({ustr("\"metadata_refresh_interval\" must be a positive number of seconds, not ").get(),
                   shown(value).get()});
  return vs::check(PyFloat_FromDouble(seconds));
}

Ref signing_cert(PyObject* value) {
  if (!PyUnicode_Check(value) || PyUnicode_GET_LENGTH(value) == 0)
    raise_invalid(
        {ustr("\"metadata_signing_cert\" must be the PEM text of a certificate or the path of one, not ").get(),
         shown(value).get()});
  return Ref::borrow(value);
}

// 64 hex digits in lower case, from a fingerprint written with or without
// colons and blanks, in either case.
Ref signing_fingerprint(PyObject* value) {
  std::string digits;
  bool valid = PyUnicode_Check(value);
  if (valid) {
    const char* text = vs::check_pointer(PyUnicode_AsUTF8(value));
    for (const char* c = text; *c && valid; ++c) {
      if (*c == ':' || *c == ' ' || *c == '\t') continue;
      valid = std::isxdigit(static_cast<unsigned char>(*c));
      digits += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
  }
  if (!valid || digits.size() != 64)
    raise_invalid({ustr("\"metadata_signing_fingerprint\" must be the SHA-256 fingerprint of a certificate "
                        "(64 hex digits), not ")
                       .get(),
                   shown(value).get()});
  return ustr(digits.c_str());
}

// ---- the toolkit and the compiled checks, made once ----------------------------

// Process-wide (module_state.document_tools), made on first use. Built
// without a C++ static guard: another thread may run Python code in
// between, and would block on the guard with the GIL.

const DocumentTools& document_tools() {
  DocumentTools& tools = module_state.document_tools;
  if (tools.xml_class) return tools;
  Ref etree = vs::check(PyImport_ImportModule("lxml.etree"));
  Ref xml_module = vs::check(PyImport_ImportModule("onelogin.saml2.xml_utils"));
  Ref utils_module = vs::check(PyImport_ImportModule("onelogin.saml2.utils"));
  Ref xmlsec = vs::check(PyImport_ImportModule("xmlsec"));
  Ref xmlsec_tree = vs::getattr(xmlsec.get(), names::tree);
  using xpath::compile;
  Ref refused = compile("boolean(" + signature_transforms::refused_expression() + ")");
  Ref root_signatures = compile("ds:Signature");
  Ref references = compile("ds:SignedInfo/ds:Reference");
  Ref signature_method = compile("string(ds:SignedInfo/ds:SignatureMethod/@Algorithm)");
  Ref digest_method = compile("string(ds:SignedInfo/ds:Reference/ds:DigestMethod/@Algorithm)");
  Ref key_info_certs = compile("ds:KeyInfo/ds:X509Data/ds:X509Certificate/text()");
  Ref id_count = compile("count(//*[@ID=$id])");
  // The enveloped transform takes the whole signature out of what is
  // digested: anything in it (a ds:Object, an element in ds:KeyInfo) can be
  // added after signing.
  Ref foreign_children = compile("*[not(self::ds:SignedInfo or self::ds:SignatureValue or self::ds:KeyInfo)]");
  // The root, or an EntityDescriptor reached from it through
  // EntitiesDescriptors alone: never one inside a signature, an extension or
  // anything else the document only carries.
  Ref idp_entities = compile(
      "/descendant-or-self::md:EntityDescriptor[md:IDPSSODescriptor]"
      "[not(ancestor::*[not(self::md:EntitiesDescriptor)])]");
  // The toolkit reads the first IDPSSODescriptor of the EntityDescriptor and
  // takes a lone encryption certificate for signing too: only these count.
  Ref signing_certs = compile(
      "md:IDPSSODescriptor[1]/md:KeyDescriptor[not(contains(@use, 'encryption'))]"
      "/ds:KeyInfo/ds:X509Data/ds:X509Certificate/text()");
  Ref tostring = vs::getattr(etree.get(), names::tostring);
  Ref xml_class = vs::getattr(xml_module.get(), names::OneLogin_Saml2_XML);
  Ref utils_class = vs::getattr(utils_module.get(), names::OneLogin_Saml2_Utils);
  Ref add_ids = vs::getattr(xmlsec_tree.get(), names::add_ids);
  if (!tools.xml_class) {
    tools.utils_class = utils_class.release();
    tools.add_ids = add_ids.release();
    tools.transforms_refused = refused.release();
    tools.root_signatures = root_signatures.release();
    tools.references = references.release();
    tools.signature_method = signature_method.release();
    tools.digest_method = digest_method.release();
    tools.key_info_certs = key_info_certs.release();
    tools.id_count = id_count.release();
    tools.foreign_children = foreign_children.release();
    tools.idp_entities = idp_entities.release();
    tools.signing_certs = signing_certs.release();
    tools.tostring = tostring.release();
    tools.xml_class = xml_class.release();
  }
  return tools;
}

[[noreturn]] void refuse(const char* reason) { vs::raise_new(PyExc_ValueError, reason); }
[[noreturn]] void refuse(std::initializer_list<PyObject*> pieces) {
  vs::raise_new(PyExc_ValueError, vs::concat(pieces).get());
}

Py_ssize_t length(PyObject* sequence) {
  return vs::size(sequence);
}

template <size_t N>
bool is_one_of(PyObject* text, const char* const (&choices)[N]) {
  if (!PyUnicode_Check(text)) return false;
  for (const char* choice : choices)
    if (PyUnicode_CompareWithASCIIString(text, choice) == 0) return true;
  return false;
}

// ---- the signature -------------------------------------------------------------

// The PEM text of the configured signing certificate: the value itself, or
// the file it names (read at every fetch, so that a replaced file counts
// from the next one).
Ref configured_certificate(PyObject* setting) {
  const char* value = vs::check_pointer(PyUnicode_AsUTF8(setting));
  if (std::strstr(value, "-----BEGIN CERTIFICATE-----")) return Ref::borrow(setting);
  std::FILE* file = std::fopen(value, "rb");
  if (!file) {
    Ref reason = ustr(std::strerror(errno));
    refuse({ustr("metadata_signing_cert: cannot read ").get(), setting, ustr(": ").get(), reason.get()});
  }
  std::string pem;
  char chunk[4096];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) pem.append(chunk, got);
  bool failed = std::ferror(file);
  std::fclose(file);
  if (failed) refuse({ustr("metadata_signing_cert: cannot read ").get(), setting});
  if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
    refuse({ustr("metadata_signing_cert: ").get(), setting, ustr(" holds no PEM certificate").get()});
  return vs::check(PyUnicode_DecodeUTF8(pem.data(), static_cast<Py_ssize_t>(pem.size()), "replace"));
}

// The certificate the signature carries whose SHA-256 fingerprint is `fingerprint`.
Ref certificate_with_fingerprint(const DocumentTools& tools, PyObject* signature, PyObject* fingerprint) {
  Ref bodies = call(tools.key_info_certs, {signature});
  Ref iterator = vs::iterate(bodies.get());
  while (Ref body = vs::next(iterator.get())) {
    Ref pem = call_method(tools.utils_class, names::format_cert, {body.get()});
    Ref calculated = call_method(tools.utils_class, names::calculate_x509_fingerprint, {pem.get(), names::sha256});
    if (vs::compare(calculated.get(), fingerprint, Py_EQ)) return pem;
  }
  refuse({ustr("the metadata is not signed by the certificate with SHA-256 fingerprint ").get(), fingerprint});
}

// Whether the signature's one reference is the root itself: "" or
// "#<the root's ID>", an ID that no other element has.
bool covers_root(const DocumentTools& tools, PyObject* root, PyObject* signature) {
  Ref references = call(tools.references, {signature});
  if (length(references.get()) != 1) return false;
  Ref reference = vs::item(references.get(), 0);
  Ref uri = call_method(reference.get(), names::get, {names::URI});
  if (!PyUnicode_Check(uri.get())) return false;
  if (PyUnicode_GET_LENGTH(uri.get()) == 0) return true;
  Ref id = call_method(root, names::get, {names::ID});
  if (!PyUnicode_Check(id.get())) return false;
  Ref own = vs::concat({ustr("#").get(), id.get()});
  if (!vs::compare(uri.get(), own.get(), Py_EQ)) return false;
  Ref variables = vs::new_dict();
  setitem(variables.get(), names::id, id.get());
  Ref positional = vs::tuple_of({root});
  Ref holders = vs::check(PyObject_Call(tools.id_count, positional.get(), variables.get()));
  return vs::as_double(holders.get()) == 1;
}

// Refuses the document unless it carries one enveloped signature over its
// root, made with allowed algorithms, valid for the configured key; returns
// the name of the key setting that verified it.
const char* verify_signature(PyObject* root, PyObject* cert_setting, PyObject* fingerprint) {
  const DocumentTools& tools = document_tools();
  // Before anything runs a transform the document names.
  if (vs::truthy(call(tools.transforms_refused, {root}).get()))
    refuse("the metadata's signature uses a transform outside the allow-list");
  Ref signatures = call(tools.root_signatures, {root});
  Py_ssize_t count = length(signatures.get());
  if (count == 0) refuse("the metadata carries no signature over its root");
  if (count > 1) refuse("the metadata carries more than one signature over its root");
  Ref signature = vs::item(signatures.get(), 0);
  if (!covers_root(tools, root, signature.get())) refuse("the metadata's signature does not cover its root");
  if (length(call(tools.foreign_children, {signature.get()}).get()) > 0)
    refuse("the metadata's signature holds more than SignedInfo, SignatureValue and KeyInfo");

  Ref signature_method = call(tools.signature_method, {signature.get()});
  Ref digest_method = call(tools.digest_method, {signature.get()});
  for (PyObject* algorithm : {signature_method.get(), digest_method.get()}) {
    bool allowed = algorithm == signature_method.get() ? is_one_of(algorithm, kSignatureAlgorithms)
                                                        : is_one_of(algorithm, kDigestAlgorithms);
    if (!allowed)
      refuse({ustr("the metadata's signature uses the algorithm ").get(), vs::text(algorithm).get(),
              ustr(", which is not accepted").get()});
  }

  bool by_cert = cert_setting != Py_None;
  Ref pem = by_cert ? configured_certificate(cert_setting)
                    : certificate_with_fingerprint(tools, signature.get(), fingerprint);
  try {
    Ref id_names = vs::new_list();
    vs::append(id_names.get(), names::ID);
    call(tools.add_ids, {root, id_names.get()});
    Ref validate = vs::getattr(tools.utils_class, names::validate_node_sign);
    call_kw(validate.get(), {signature.get(), root, pem.get(), Py_True}, raise_exceptions_keyword);
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
    Ref message = vs::concat({ustr("the metadata's signature is invalid: ").get(), vs::text(e.get()).get()});
    e.raise_from(call(PyExc_ValueError, {message.get()}));
  }
  return by_cert ? "metadata_signing_cert" : "metadata_signing_fingerprint";
}

// ---- what the document says ---------------------------------------------------

// The entity IDs of `entities`, for a refusal: the first few, and how many
// there are beyond them (an aggregate may describe thousands).
Ref entity_ids_shown(PyObject* entities) {
  Py_ssize_t count = length(entities);
  Ref shown = vs::new_list();
  for (Py_ssize_t i = 0; i < count && i < kEntityIdsShown; ++i) {
    Ref id = call_method(vs::item(entities, i).get(), names::get, {names::entityID});
    vs::append(shown.get(), vs::text(id.get()).get());
  }
  Ref listed = vs::join(vs::ustr(", ").get(), shown.get());
  if (count <= kEntityIdsShown) return listed;
  return vs::check(PyUnicode_FromFormat("%U and %zd more", listed.get(), count - kEntityIdsShown));
}

// The EntityDescriptor whose settings are used. Only what the root itself
// describes counts (see idp_entities), and the one chosen is the one with
// the expected entity ID; without one, the only IdP described.
Ref chosen_entity(const DocumentTools& tools, PyObject* root, PyObject* expected) {
  Ref entities = call(tools.idp_entities, {root});
  Py_ssize_t count = length(entities.get());
  if (expected == Py_None) {
    if (count == 0) refuse("the metadata describes no identity provider");
    if (count > 1)
      refuse({ustr("the metadata describes several identity providers (").get(), entity_ids_shown(entities.get()).get(),
              ustr("): set settings.idp.entityId to the one to use").get()});
    return vs::item(entities.get(), 0);
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref entity = vs::item(entities.get(), i);
    Ref id = call_method(entity.get(), names::get, {names::entityID});
    if (vs::compare(id.get(), expected, Py_EQ)) return entity;
  }
  Ref described = count ? vs::concat({ustr(" (it describes ").get(), entity_ids_shown(entities.get()).get(),
                                      ustr(")").get()})
                        : ustr("");
  refuse({ustr("the metadata describes no identity provider with the entity ID ").get(), vs::text(expected).get(),
          described.get()});
}

// The signing certificates the entity publishes, white space removed as
// the toolkit removes it.
Ref published_signing_certificates(const DocumentTools& tools, PyObject* entity) {
  Ref texts = call(tools.signing_certs, {entity});
  Ref certificates = vs::new_list();
  Ref iterator = vs::iterate(texts.get());
  while (Ref text = vs::next(iterator.get())) {
    Ref parts = call_method(text.get(), names::split);
    vs::append(certificates.get(), vs::join(ustr("").get(), parts.get()).get());
  }
  return certificates;
}

}  // namespace

const DocumentTools& tools() { return document_tools(); }

const char* verify_root_signature(PyObject* root, PyObject* cert_setting, PyObject* fingerprint) {
  return verify_signature(root, cert_setting, fingerprint);
}

// metadata_policy(idp_config)
Ref metadata_policy(const Args& a) {
  Ref interval = optional_key(a[0], names::metadata_refresh_interval);
  Ref cert = optional_key(a[0], names::metadata_signing_cert);
  Ref fingerprint = optional_key(a[0], names::metadata_signing_fingerprint);
  if (!interval && !cert && !fingerprint) return vs::none();
  if (cert && fingerprint)
    raise_invalid({ustr("give \"metadata_signing_cert\" or \"metadata_signing_fingerprint\", not both").get()});
  Ref policy_interval = interval ? refresh_interval(interval.get()) : vs::none();
  Ref policy_cert = cert ? signing_cert(cert.get()) : vs::none();
  Ref policy_fingerprint = fingerprint ? signing_fingerprint(fingerprint.get()) : vs::none();
  return vs::tuple_of({policy_interval.get(), policy_cert.get(), policy_fingerprint.get()});
}

// read_document(document, policy, parser, entity_id=None, prefer_post=False)
Ref read_document(const Args& a) {
  PyObject* document = a[0];
  PyObject* expected_entity = a[3];
  Ref cert_setting = vs::item(a[1], 1);
  Ref fingerprint = vs::item(a[1], 2);
  const DocumentTools& tools = document_tools();
  Ref root = call_method(tools.xml_class, names::to_etree, {document});

  const char* signed_by = nullptr;
  if (cert_setting.get() != Py_None || fingerprint.get() != Py_None)
    signed_by = verify_signature(root.get(), cert_setting.get(), fingerprint.get());

  double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  Ref valid_until_text = call_method(root.get(), names::get, {names::validUntil});
  Ref valid_until = vs::none();
  if (valid_until_text.get() != Py_None) {
    valid_until = call_method(tools.utils_class, names::parse_SAML_to_time, {valid_until_text.get()});
    if (vs::as_double(valid_until.get()) <= now)
      refuse({ustr("the metadata expired at ").get(), vs::text(valid_until_text.get()).get()});
  }
  Ref cache_duration = call_method(root.get(), names::get, {names::cacheDuration});
  Ref cache_until = vs::none();
  if (cache_duration.get() != Py_None) {
    Ref timestamp = vs::check(PyLong_FromDouble(now));  // whole seconds, as the toolkit wants
    cache_until = call_method(tools.utils_class, names::parse_duration, {cache_duration.get(), timestamp.get()});
  }

  // The toolkit is given the chosen entity alone: its own parse takes the
  // first EntityDescriptor anywhere in the document.
  Ref entity = chosen_entity(tools, root.get(), expected_entity);
  Ref entity_id = call_method(entity.get(), names::get, {names::entityID});
  Ref entity_document = call_kw(tools.tostring, {entity.get(), Py_False}, with_tail_keyword);
  Ref remote = bindings::parse_idp_document(a[2], entity_document.get(), vs::truthy(a[4]));
  Ref idp = vs::getitem_opt(remote.get(), names::idp);
  Ref sso = idp ? vs::getitem_opt(idp.get(), names::singleSignOnService) : Ref();
  Ref sso_url = sso ? vs::getitem_opt(sso.get(), names::url) : Ref();
  if (!sso_url || !vs::truthy(sso_url.get())) refuse("the metadata names no single sign-on service (HTTP-Redirect or HTTP-POST)");
  Ref certificates = published_signing_certificates(tools, entity.get());
  if (length(certificates.get()) == 0) refuse("the metadata publishes no signing certificate");

  Ref facts = vs::new_dict();
  setitem(facts.get(), names::fetched_at, vs::check(PyFloat_FromDouble(now)).get());
  setitem(facts.get(), names::valid_until, valid_until.get());
  setitem(facts.get(), names::cache_duration, cache_duration.get());
  setitem(facts.get(), names::cache_until, cache_until.get());
  setitem(facts.get(), names::signed_by, signed_by ? ustr(signed_by).get() : Py_None);
  setitem(facts.get(), names::certificates, certificates.get());
  setitem(facts.get(), names::entity_id, entity_id.get());
  return vs::tuple_of({remote.get(), facts.get()});
}

}  // namespace idp_metadata
