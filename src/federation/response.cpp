// What a posted response says of the IdP it comes from (read before any
// signature work: the Issuer picks the IdP whose keys check it), and the
// scoped attributes of an IdP of a federation: a value counts only in a
// scope that IdP's metadata gives it, or any IdP of the federation could
// log in any user of another.
#include "../glue/one_line.hpp"
#include "../glue/xpath.hpp"
#include "federation.hpp"
#include "state.hpp"

namespace federation {

using vs::call;
using vs::call_kw;
using vs::call_method;
using vs::getattr;
using vs::getitem;
using vs::setitem;
using vs::ustr;

namespace {


// The Issuer's text of the Response, else of its (unencrypted) Assertion.
PyObject* issuer_query() {
  PyObject*& query = module_state.issuer_query;
  if (query) return query;
  Ref compiled =
      xpath::compile("string((/samlp:Response/saml:Issuer | /samlp:Response/saml:Assertion/saml:Issuer)[1])");
  if (!query) query = compiled.release();
  return query;
}

[[noreturn]] void refuse(const char* why) { vs::raise_new(PyExc_ValueError, why); }

bool in_scope(PyObject* value, PyObject* scopes) {
  if (!PyUnicode_Check(value)) return false;
  Py_ssize_t at = PyUnicode_FindChar(value, '@', 0, PyUnicode_GET_LENGTH(value), -1);
  if (at < 0) return false;
  Ref scope = vs::check(PyUnicode_Substring(value, at + 1, PyUnicode_GET_LENGTH(value)));
  Ref re = vs::check(PyImport_ImportModule("re"));
  Ref iterator = vs::iterate(scopes);
  while (Ref entry = vs::next(iterator.get())) {
    Ref expected = vs::item(entry.get(), 0);
    if (vs::truthy(vs::item(entry.get(), 1).get())) {
      if (call_method(re.get(), names::fullmatch, {expected.get(), scope.get()}).get() != Py_None) return true;
    } else if (vs::compare(expected.get(), scope.get(), Py_EQ)) {
      return true;
    }
  }
  return false;
}

}  // namespace

Ref response_issuer(PyObject* request) {
  Ref posted = call_method(getattr(request, names::POST).get(), names::get, {names::SAMLResponse});
  if (!PyUnicode_Check(posted.get())) refuse("Invalid SAML response: SAMLResponse is not a form field");
  Ref utils_module = vs::check(PyImport_ImportModule("onelogin.saml2.utils"));
  Ref xml_module = vs::check(PyImport_ImportModule("onelogin.saml2.xml_utils"));
  Ref root;
  try {
    Ref decoded = call_method(getattr(utils_module.get(), names::OneLogin_Saml2_Utils).get(), names::b64decode,
                              {posted.get()});
    root = call_method(getattr(xml_module.get(), names::OneLogin_Saml2_XML).get(), names::to_etree, {decoded.get()});
  } catch (const vs::PyError&) {
    vs::Caught e(PyExc_Exception);
    refuse("Invalid SAML response: it is not a SAML message that can be read");
  }
  Ref issuer = call(issuer_query(), {root.get()});
  Ref text = PyUnicode_Check(issuer.get()) ? call_method(issuer.get(), names::strip) : ustr("");
  if (PyUnicode_GET_LENGTH(text.get()) == 0) refuse("Invalid issuer in the Response: it names none");
  return text;
}

// scoped_attributes(idp_config, attributes, saml_auth_attribute)
Ref scoped_attributes(const Args& a) {
  Ref entity = getitem(a[0], federation_entity);
  Ref scopes = getitem(entity.get(), names::scopes);
  Ref scoped = getitem(entity.get(), names::scoped_attributes);
  Ref kept = vs::new_dict();
  Ref dropped = vs::new_list();
  vs::for_each_item(a[1], [&](const Ref& name, const Ref& values) {
    if (!vs::contains(scoped.get(), name.get()) || !PyList_Check(values.get())) {
      setitem(kept.get(), name.get(), values.get());
      return;
    }
    Ref in = vs::new_list();
    Ref iterator = vs::iterate(values.get());
    while (Ref value = vs::next(iterator.get())) {
      if (in_scope(value.get(), scopes.get()))
        vs::append(in.get(), value.get());
      else if (vs::compare(name.get(), a[2], Py_EQ))
        vs::append(dropped.get(), vs::text(value.get()).get());
    }
    setitem(kept.get(), name.get(), in.get());
  });
  // A NameID compared with the host's users is made the federation's
  // persistent-ID form: two IdPs can never name the same user.
  if (PyUnicode_Check(a[2]) && PyUnicode_CompareWithASCIIString(a[2], "NameID") == 0) {
    Ref name_id = vs::getitem_opt(kept.get(), names::NameID);
    if (name_id && PyUnicode_Check(name_id.get()))
      setitem(kept.get(), names::NameID,
              vs::concat({getitem(entity.get(), names::entity_id).get(), ustr("!").get(),
                          vs::text(getitem(entity.get(), names::sp_entity_id).get()).get(), ustr("!").get(),
                          name_id.get()})
                  .get());
  }
  // The values the login compares, all out of the IdP's scopes: said as such.
  Ref compared = vs::getitem_opt(kept.get(), a[2]);
  if (vs::size(dropped.get()) > 0 && compared && PyList_Check(compared.get()) && vs::size(compared.get()) == 0) {
    Ref shown_scopes = vs::new_list();
    Ref iterator = vs::iterate(scopes.get());
    while (Ref entry = vs::next(iterator.get())) vs::append(shown_scopes.get(), vs::item(entry.get(), 0).get());
    Ref message = vs::concat({ustr("No value of SAML attribute ").get(), vs::text(a[2]).get(),
                              ustr(" is in a scope of the IdP (").get(),
                              vs::join(ustr(", ").get(), shown_scopes.get()).get(), ustr("): ").get(),
                              one_line::shown(vs::join(ustr(", ").get(), dropped.get()).get(), 200).get()});
    vs::raise_new(PyExc_ValueError, message.get());
  }
  return kept;
}

}  // namespace federation
