// The SP metadata document of an IdP, and the toolkit's check of it.
//
// The check (validate_metadata) reads the metadata XSD from its file and
// compiles it on every call: most of what a metadata view costs. For a
// prepared settings object (one per IdP, which the toolkit only reads) the
// document comes out the same on every call except for the root's
// validUntil, which the toolkit sets to now plus two days. So the verdict of
// a document that passed is reused for a later one that differs from it in
// that value alone, when the value is a plain UTC time still ahead: the
// schema accepts any such time in that place, and the remaining check
// (expiry) is made here on the new value. A signed document, a negative
// cacheDuration, a replaced check or any other difference goes through the
// toolkit's check, and a document with errors is never remembered.
#include <ctime>
#include <string>
#include <string_view>

#include "../glue/bindings.hpp"
#include "../glue/logout_options.hpp"
#include "../glue/toolkit.hpp"
#include "../glue/with_block.hpp"
#include "saml.hpp"
#include "state.hpp"

namespace saml {
namespace {

using vs::call_method;
using vs::getattr;

// The document with the value of its root element's validUntil cut out
// (after one letter saying whether it was bytes or text), and that value as
// seconds since the epoch; `seconds` stays -1 when the
// document is not one whose verdict may be reused.
struct Masked {
  std::string text;
  long long seconds = -1;
};

// "YYYY-MM-DDThh:mm:ssZ", a real calendar time, as seconds since the epoch;
// -1 for anything else.
long long utc_seconds(std::string_view v) {
  if (v.size() != 20 || v[4] != '-' || v[7] != '-' || v[10] != 'T' || v[13] != ':' || v[16] != ':' || v[19] != 'Z')
    return -1;
  int field[6];
  const int at[6] = {0, 5, 8, 11, 14, 17}, width[6] = {4, 2, 2, 2, 2, 2};
  for (int i = 0; i < 6; ++i) {
    field[i] = 0;
    for (int k = 0; k < width[i]; ++k) {
      char c = v[at[i] + k];
      if (c < '0' || c > '9') return -1;
      field[i] = field[i] * 10 + (c - '0');
    }
  }
  std::tm t{};
  t.tm_year = field[0] - 1900;
  t.tm_mon = field[1] - 1;
  t.tm_mday = field[2];
  t.tm_hour = field[3];
  t.tm_min = field[4];
  t.tm_sec = field[5];
  time_t seconds = timegm(&t);  // normalises: a day 31 of a 30-day month moves on
  std::tm back{};
  if (!gmtime_r(&seconds, &back) || back.tm_year != t.tm_year || back.tm_mon != field[1] - 1 ||
      back.tm_mday != field[2] || back.tm_hour != field[3] || back.tm_min != field[4] || back.tm_sec != field[5])
    return -1;
  return seconds;
}

Masked masked(PyObject* metadata) {
  Masked out;
  Py_ssize_t size = 0;
  const char* data = nullptr;
  if (PyBytes_Check(metadata)) {  // what the toolkit's builder returns
    data = PyBytes_AS_STRING(metadata);
    size = PyBytes_GET_SIZE(metadata);
  } else if (PyUnicode_Check(metadata)) {
    data = PyUnicode_AsUTF8AndSize(metadata, &size);
    if (!data) {  // lone surrogates: the toolkit's check decides
      PyErr_Clear();
      return out;
    }
  } else {
    return out;
  }
  std::string_view doc(data, static_cast<size_t>(size));
  if (doc.find("SignatureValue") != doc.npos || doc.find("cacheDuration=\"-") != doc.npos) return out;
  // The root's start tag: the first tag that is no declaration, comment or
  // processing instruction. The builder writes double quotes, so the
  // attribute cannot hide inside another attribute's value.
  size_t open = doc.find('<');
  while (open != doc.npos && open + 1 < doc.size() && (doc[open + 1] == '?' || doc[open + 1] == '!'))
    open = doc.find('<', open + 1);
  if (open == doc.npos) return out;
  size_t close = doc.find('>', open);
  constexpr std::string_view attribute = " validUntil=\"";
  size_t begin = doc.find(attribute, open);
  if (close == doc.npos || begin == doc.npos || begin > close) return out;
  begin += attribute.size();
  size_t end = doc.find('"', begin);
  if (end == doc.npos || end > close) return out;
  out.seconds = utc_seconds(doc.substr(begin, end - begin));
  if (out.seconds < 0) return out;
  out.text.reserve(1 + doc.size() - (end - begin));
  out.text.append(PyBytes_Check(metadata) ? "b" : "u").append(doc.substr(0, begin)).append(doc.substr(end));
  return out;
}

// Whether the toolkit passed a document equal to this one but for the
// validUntil value, with the same settings object, and the new value is
// still ahead (the toolkit's expiry check, with a second to spare).
bool passed_before(PyObject* idp_name, PyObject* settings_obj, const Masked& doc) {
  if (doc.seconds < 0 || doc.seconds <= static_cast<long long>(std::time(nullptr)) + 1) return false;
  Ref entry = vs::dict_get(module_state.passed_documents, idp_name);
  if (!entry || vs::item(entry.get(), 0).get() != settings_obj) return false;
  Ref text = vs::item(entry.get(), 1);  // bytes the C++ made
  return std::string_view(PyBytes_AS_STRING(text.get()), static_cast<size_t>(PyBytes_GET_SIZE(text.get()))) ==
         doc.text;
}

void remember_passed(PyObject* idp_name, PyObject* settings_obj, const Masked& doc) {
  if (doc.seconds < 0) return;
  if (!module_state.passed_documents) module_state.passed_documents = vs::new_dict().release();
  Ref text = vs::check(PyBytes_FromStringAndSize(doc.text.data(), static_cast<Py_ssize_t>(doc.text.size())));
  Ref entry = vs::tuple_of({settings_obj, text.get()});
  vs::setitem(module_state.passed_documents, idp_name, entry.get());
}

const vs::Name logout_services{"/md:EntityDescriptor/md:SPSSODescriptor/md:SingleLogoutService"};
const vs::Name root_signature{"/md:EntityDescriptor/ds:Signature"};

// Whether the SP metadata of this IdP names its single-logout service on
// both bindings: the IdP's logout messages go by HTTP-POST (and the service
// takes them so, as it takes those on HTTP-Redirect).
bool names_both_logout_bindings(PyObject* settings_obj, PyObject* idp_config) {
  // Without single logout there is no service to name: the IdP's data is not read.
  if (!idp_config || !logout_options::read(idp_config).single_logout) return false;
  if (bindings::asks_for_post(idp_config)) return true;
  Ref idp_data = call_method(settings_obj, names::get_idp_data);
  return bindings::idp_endpoint_on_post(idp_data.get(), names::singleLogoutService);
}

// The key and certificate the toolkit signs the SP metadata with:
// security.signMetadata true takes the SP's own, a mapping names two files
// of the toolkit's certificate folder.
void metadata_signing_key(PyObject* settings_obj, PyObject* sign_metadata, Ref& key, Ref& cert) {
  if (sign_metadata == Py_True) {
    key = call_method(settings_obj, names::get_sp_key);
    cert = call_method(settings_obj, names::get_sp_cert);
    return;
  }
  Ref folder = call_method(settings_obj, names::get_cert_path);
  Ref io = vs::check(PyImport_ImportModule("io"));
  auto read = [&](PyObject* file_name) {
    Ref path = vs::check(PyNumber_Add(folder.get(), file_name));
    Ref file = call_method(io.get(), names::open, {path.get()});
    Ref text;
    vs::with_block(file.get(), [&] { text = call_method(file.get(), names::read); });
    return text;
  };
  key = read(vs::getitem(sign_metadata, names::keyFileName).get());
  cert = read(vs::getitem(sign_metadata, names::certFileName).get());
}

// The toolkit's document with a second SingleLogoutService, on the binding
// its one does not name, after it; signed again when the toolkit signed it.
Ref with_both_logout_bindings(PyObject* metadata, PyObject* settings_obj) {
  Ref xml_module = vs::check(PyImport_ImportModule("onelogin.saml2.xml_utils"));
  Ref xml = getattr(xml_module.get(), names::OneLogin_Saml2_XML);
  Ref root = call_method(xml.get(), names::to_etree, {metadata});
  Ref services = call_method(xml.get(), names::query, {root.get(), logout_services});
  if (vs::size(services.get()) != 1) return Ref::borrow(metadata);
  Ref service = vs::item(services.get(), 0);
  Ref binding = call_method(service.get(), names::get, {names::Binding});
  PyObject* other = nullptr;
  if (PyUnicode_Check(binding.get()) && vs::compare(binding.get(), bindings::post, Py_EQ)) other = bindings::redirect;
  if (PyUnicode_Check(binding.get()) && vs::compare(binding.get(), bindings::redirect, Py_EQ)) other = bindings::post;
  if (!other) return Ref::borrow(metadata);
  Ref copy_module = vs::check(PyImport_ImportModule("copy"));
  Ref twin = call_method(copy_module.get(), names::deepcopy, {service.get()});
  call_method(twin.get(), names::set, {names::Binding, other});
  call_method(service.get(), names::addnext, {twin.get()});
  Ref signatures = call_method(xml.get(), names::query, {root.get(), root_signature});
  bool resign = vs::size(signatures.get()) > 0;
  Ref signature_iterator = vs::iterate(signatures.get());
  while (Ref signature = vs::next(signature_iterator.get())) call_method(root.get(), names::remove, {signature.get()});
  Ref document = call_method(xml.get(), names::to_string, {root.get()});
  if (resign) {
    Ref security = call_method(settings_obj, names::get_security_data);
    Ref key, cert;
    metadata_signing_key(settings_obj, getitem(security.get(), names::signMetadata).get(), key, cert);
    Ref metadata_module = vs::check(PyImport_ImportModule("onelogin.saml2.metadata"));
    Ref builder = getattr(metadata_module.get(), names::OneLogin_Saml2_Metadata);
    document = call_method(builder.get(), names::sign_metadata,
                           {document.get(), key.get(), cert.get(), getitem(security.get(), names::signatureAlgorithm).get(),
                            getitem(security.get(), names::digestAlgorithm).get()});
  }
  // The type the toolkit gave (text or bytes).
  if (PyUnicode_Check(metadata) && PyBytes_Check(document.get()))
    return call_method(document.get(), names::decode, {vs::ustr("utf-8").get()});
  return document;
}

}  // namespace

Ref checked_sp_metadata(PyObject* saml_settings_obj, PyObject* idp_config) {
  Ref metadata = vs::call_method(saml_settings_obj, names::get_sp_metadata);
  if (names_both_logout_bindings(saml_settings_obj, idp_config))
    metadata = with_both_logout_bindings(metadata.get(), saml_settings_obj);
  Ref check = vs::getattr(saml_settings_obj, names::validate_metadata);
  Ref idp_name;
  Masked doc;
  if (toolkit::is_own_metadata_check(check.get(), saml_settings_obj)) {
    idp_name = shared_settings_name(saml_settings_obj);
    if (idp_name) {
      doc = masked(metadata.get());
      if (module_state.passed_documents && passed_before(idp_name.get(), saml_settings_obj, doc)) return metadata;
    }
  }
  Ref errors = vs::call(check.get(), {metadata.get()});
  if (vs::truthy(errors.get())) vs::raise_new(PyExc_ValueError, errors.get());
  if (idp_name) remember_passed(idp_name.get(), saml_settings_obj, doc);
  return metadata;
}

namespace SamlIDPConfig {

// SamlIDPConfig.get_sp_metadata(self)
Ref get_sp_metadata(const Args& a) {
  Ref saml_auth = getattr(a[0], names::saml_auth);
  Ref saml_settings_obj = call_method(saml_auth.get(), names::get_settings);
  Ref idp_config = getattr(a[0], names::idp_config);
  return checked_sp_metadata(saml_settings_obj.get(), idp_config.get());
}

}  // namespace SamlIDPConfig

}  // namespace saml
