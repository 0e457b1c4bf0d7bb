// federation_policy: the "federation" mapping of an IdP entry, checked. A
// typo must not pass unnoticed (a misspelt allow-list would allow every
// IdP), so an unknown key is an error too.
#include <cmath>

#include "../glue/bindings.hpp"
#include "../glue/config_errors.hpp"
#include "../glue/metadata_limits.hpp"
#include "../glue/siblings.hpp"
#include "federation.hpp"

namespace federation {

using config_errors::raise_invalid;
using config_errors::shown;
using vs::ustr;

namespace {

constexpr double kDefaultTimeout = 60;

constexpr const char* kKeys[] = {"metadata_url", "mdq_url", "metadata_signing_cert", "metadata_signing_fingerprint",
                                 "refresh_interval", "cache_dir", "entities", "registration_authorities",
                                 "scoped_attributes", "timeout", "metadata_max_bytes", "discovery_url"};

// The attributes whose values are value@scope, by their urn:oid: names and
// their short names, and the subject identifiers.
constexpr const char* kScopedAttributes[] = {
    "urn:oid:1.3.6.1.4.1.5923.1.1.1.6", "eduPersonPrincipalName",
    "urn:oid:1.3.6.1.4.1.5923.1.1.1.9", "eduPersonScopedAffiliation",
    "urn:oasis:names:tc:SAML:attribute:subject-id", "urn:oasis:names:tc:SAML:attribute:pairwise-id",
};

[[noreturn]] void refuse(const char* key, const char* must, PyObject* value) {
  raise_invalid({ustr("\"federation\": \"").get(), ustr(key).get(), ustr("\" must be ").get(), ustr(must).get(),
                 ustr(", not ").get(), shown(value).get()});
}

Ref optional_text(PyObject* mapping, const char* key) {
  Ref value = vs::getitem_opt(mapping, ustr(key).get());
  if (!value || value.get() == Py_None) return vs::none();
  if (!PyUnicode_Check(value.get()) || PyUnicode_GET_LENGTH(value.get()) == 0) refuse(key, "a non-empty text", value.get());
  return value;
}

double positive_seconds(PyObject* mapping, const char* key, double fallback) {
  Ref value = vs::getitem_opt(mapping, ustr(key).get());
  if (!value || value.get() == Py_None) return fallback;
  bool number = (PyLong_Check(value.get()) && !PyBool_Check(value.get())) || PyFloat_Check(value.get());
  double seconds = number ? vs::as_double(value.get()) : 0;
  if (!(std::isfinite(seconds) && seconds > 0)) refuse(key, "a positive number of seconds", value.get());
  return seconds;
}

// A list of texts as a frozenset, or None when the key is absent.
Ref text_set(PyObject* mapping, const char* key) {
  Ref value = vs::getitem_opt(mapping, ustr(key).get());
  if (!value || value.get() == Py_None) return vs::none();
  if (!PyList_Check(value.get()) && !PyTuple_Check(value.get())) refuse(key, "a list of texts", value.get());
  Ref iterator = vs::iterate(value.get());
  while (Ref item = vs::next(iterator.get()))
    if (!PyUnicode_Check(item.get())) refuse(key, "a list of texts", value.get());
  return vs::check(PyFrozenSet_New(value.get()));
}

bool starts_with(PyObject* text, const char* prefix) {
  Ref head = ustr(prefix);
  return PyUnicode_Tailmatch(text, head.get(), 0, PY_SSIZE_T_MAX, -1) == 1;
}

Ref default_scoped_attributes() {
  Ref names_list = vs::new_list();
  for (const char* name : kScopedAttributes) vs::append(names_list.get(), ustr(name).get());
  return vs::check(PyFrozenSet_New(names_list.get()));
}

// Where the documents of this source and signing key are kept: two entries
// of the same federation share them.
Ref key_dir_of(PyObject* cache_dir, PyObject* metadata_url, PyObject* mdq_url, PyObject* signing_key) {
  Ref source = vs::concat({vs::text(metadata_url).get(), ustr("\n").get(), vs::text(mdq_url).get(), ustr("\n").get(),
                           vs::text(signing_key).get()});
  Ref hashlib = vs::check(PyImport_ImportModule("hashlib"));
  Ref encoded = vs::check(PyUnicode_AsUTF8String(source.get()));
  Ref digest = vs::call_method(vs::call_method(hashlib.get(), names::sha256, {encoded.get()}).get(), names::hexdigest);
  Ref short_digest = vs::check(PyUnicode_Substring(digest.get(), 0, 24));
  Ref os_path = vs::check(PyImport_ImportModule("os.path"));
  return vs::call_method(os_path.get(), names::join, {cache_dir, short_digest.get()});
}

}  // namespace

Policy policy_of(PyObject* idp_config) {
  Ref mapping = vs::getitem(idp_config, names::federation);
  if (!PyDict_Check(mapping.get())) refuse("federation", "a mapping", mapping.get());
  Ref allowed = vs::new_list();
  for (const char* key : kKeys) vs::append(allowed.get(), ustr(key).get());
  vs::for_each_item(mapping.get(), [&](const Ref& key, const Ref&) {
    if (!vs::contains(allowed.get(), key.get()))
      raise_invalid({ustr("\"federation\" has no key ").get(), shown(key.get()).get(), ustr(" (it takes ").get(),
                     vs::join(ustr(", ").get(), allowed.get()).get(), ustr(")").get()});
  });
  Ref metadata_url = optional_text(mapping.get(), "metadata_url");
  Ref mdq_url = optional_text(mapping.get(), "mdq_url");
  if (metadata_url.get() == Py_None && mdq_url.get() == Py_None)
    raise_invalid({ustr("\"federation\" needs \"metadata_url\" (the signed aggregate) or \"mdq_url\"").get()});
  Ref cache_dir = optional_text(mapping.get(), "cache_dir");
  if (cache_dir.get() == Py_None)
    raise_invalid({ustr("\"federation\" needs \"cache_dir\": a folder all worker processes of the host share").get()});

  // The signing key, checked as for the signed metadata of an ordinary entry.
  Ref keys = vs::new_dict();
  for (const char* key : {"metadata_signing_cert", "metadata_signing_fingerprint"})
    if (Ref value = vs::getitem_opt(mapping.get(), ustr(key).get())) vs::setitem(keys.get(), ustr(key).get(), value.get());
  Ref metadata = siblings::get(siblings::idp_metadata);
  Ref signing = vs::call(vs::getattr(metadata.get(), names::metadata_policy).get(), {keys.get()});
  if (signing.get() == Py_None)
    raise_invalid({ustr("\"federation\" needs \"metadata_signing_cert\" or \"metadata_signing_fingerprint\": no "
                        "unsigned federation document is used")
                       .get()});
  Ref signing_key = vs::item(signing.get(), 1).get() != Py_None ? vs::item(signing.get(), 1) : vs::item(signing.get(), 2);

  Ref max_bytes_value = vs::getitem_opt(mapping.get(), names::metadata_max_bytes);
  Py_ssize_t max_bytes = metadata_limits::kDefaultMaxBytes;
  if (max_bytes_value && max_bytes_value.get() != Py_None) {
    bool whole = PyLong_Check(max_bytes_value.get()) && !PyBool_Check(max_bytes_value.get());
    max_bytes = whole ? PyLong_AsSsize_t(max_bytes_value.get()) : -1;
    if (max_bytes == -1 && PyErr_Occurred()) throw vs::PyError{};
    if (max_bytes <= 0) refuse("metadata_max_bytes", "a positive number of bytes", max_bytes_value.get());
  }
  Ref scoped = text_set(mapping.get(), "scoped_attributes");
  // An external discovery service (SAML IdP Discovery Protocol): where a
  // login start that names no IdP sends the person to choose one.
  Ref discovery_url = optional_text(mapping.get(), "discovery_url");
  if (discovery_url.get() != Py_None && !starts_with(discovery_url.get(), "https://") &&
      !starts_with(discovery_url.get(), "http://"))
    refuse("discovery_url", "an http(s) URL", discovery_url.get());
  Ref key_dir = key_dir_of(cache_dir.get(), metadata_url.get(), mdq_url.get(), signing_key.get());

  Policy policy;
  policy.checked = vs::new_dict();
  PyObject* checked = policy.checked.get();
  vs::setitem(checked, names::metadata_url, metadata_url.get());
  vs::setitem(checked, names::mdq_url, mdq_url.get());
  vs::setitem(checked, names::signing, signing.get());
  vs::setitem(checked, names::refresh_interval,
              vs::check(PyFloat_FromDouble(positive_seconds(mapping.get(), "refresh_interval", kDefaultRefreshInterval))).get());
  vs::setitem(checked, names::timeout,
              vs::check(PyFloat_FromDouble(positive_seconds(mapping.get(), "timeout", kDefaultTimeout))).get());
  vs::setitem(checked, names::metadata_max_bytes, vs::check(PyLong_FromSsize_t(max_bytes)).get());
  vs::setitem(checked, names::cache_dir, cache_dir.get());
  vs::setitem(checked, names::key_dir, key_dir.get());
  vs::setitem(checked, names::discovery_url, discovery_url.get());
  vs::setitem(checked, names::entities, text_set(mapping.get(), "entities").get());
  vs::setitem(checked, names::registration_authorities, text_set(mapping.get(), "registration_authorities").get());
  vs::setitem(checked, names::scoped_attributes,
              scoped.get() == Py_None ? default_scoped_attributes().get() : scoped.get());
  policy.key_dir = vs::check_pointer(PyUnicode_AsUTF8(key_dir.get()));
  policy.has_aggregate = metadata_url.get() != Py_None;
  policy.has_mdq = mdq_url.get() != Py_None;
  return policy;
}

// federation_policy(idp_config)
Ref federation_policy(const Args& a) { return policy_of(a[0]).checked; }

// validate(idp_config): what validation checks of a federation's entry
// besides the keys every login reads: the federation's own keys, the SP
// side of its settings (no IdP side: its IdPs come with its documents),
// what it compares users by, and its cache folder. A refresh starts when
// the documents are missing or due; until there are some the entry waits
// (MetadataNotAvailable), enabled.
Ref validate(const Args& a) {
  PyObject* idp_config = a[0];
  Policy policy = policy_of(idp_config);
  Ref settings = vs::getitem(idp_config, names::settings);
  if (!PyDict_Check(settings.get()))
    raise_invalid({ustr("\"settings\" must be a mapping, not ").get(), shown(settings.get()).get()});
  if (vs::getitem_opt(settings.get(), names::idp))
    raise_invalid({ustr("the entry of a federation takes each IdP's settings from the federation's documents: "
                        "remove settings.idp")
                       .get()});
  // The federation's records keep each IdP's HTTP-Redirect endpoints.
  if (bindings::asks_for_post(idp_config))
    raise_invalid({ustr("the IdPs of a federation are reached on HTTP-Redirect: remove \"request_binding\"").get()});
  Ref attribute = vs::getitem_opt(idp_config, names::saml_auth_attribute);
  Ref scoped = vs::getitem(policy.checked.get(), names::scoped_attributes);
  if (attribute && PyUnicode_Check(attribute.get()) &&
      PyUnicode_CompareWithASCIIString(attribute.get(), "NameID") != 0 && !vs::contains(scoped.get(), attribute.get())) {
    Ref sorted = vs::check(PySequence_List(scoped.get()));
    vs::check_status(PyList_Sort(sorted.get()));
    raise_invalid({ustr("\"saml_auth_attribute\" of a federation's entry must be one of its scoped attributes (")
                       .get(),
                   vs::join(ustr(", ").get(), sorted.get()).get(),
                   ustr(") or \"NameID\", not ").get(), shown(attribute.get()).get()});
  }
  Ref metadata = siblings::get(siblings::idp_metadata);
  vs::call(vs::getattr(metadata.get(), names::sp_metadata_without_idp).get(), {idp_config});
  Ref os = vs::check(PyImport_ImportModule("os"));
  Ref key_dir = vs::getitem(policy.checked.get(), names::key_dir);
  try {
    Ref keywords = vs::new_dict();
    vs::setitem(keywords.get(), names::exist_ok, Py_True);
    Ref args = vs::tuple_of({key_dir.get()});
    vs::check(PyObject_Call(vs::getattr(os.get(), names::makedirs).get(), args.get(), keywords.get()));
  } catch (const vs::PyError&) {
    vs::Caught e(PyExc_OSError);
    raise_invalid({ustr("\"federation\": \"cache_dir\" cannot be written: ").get(), vs::text(e.get()).get()});
  }
  notice_use(policy);
  double valid_until = 0;
  if (policy.has_aggregate) usable_generation(policy, idp_config, &valid_until);
  return vs::none();
}

}  // namespace federation
