// What SAML logins keep in the browser's session: the AuthnRequests a
// solicited-only login may answer, the re-post of a form that came without
// the session cookie, and the login a LogoutRequest names. Everything kept
// is text, numbers and lists, which any session serializer stores.
#include <string>

#include "logout.hpp"
#include "../glue/bindings.hpp"
#include "../glue/config_errors.hpp"

namespace logout {

using vs::call;
using vs::call_method;
using vs::getattr;
using vs::getitem;

const vs::Name authn_requests_key{"velmora_saml.authn_requests"};
const vs::Name logout_key{"velmora_saml.logout"};

namespace {

const vs::Name unspecified_format{"urn:oasis:names:tc:SAML:1.1:nameid-format:unspecified"};
const vs::Name unsolicited{"Unsolicited SAML response"};

// The configuration error of a value of one of the keys that is neither
// true, false nor null; the value's repr is cut short, as it ends up in the
// login-failed URL.
[[noreturn]] void raise_not_a_flag(PyObject* key, PyObject* value) {
  config_errors::raise_invalid({vs::ustr("\"").get(), key, vs::ustr("\" must be true, false or null, not ").get(),
                                 config_errors::shown(value).get()});
}

bool flag(PyObject* idp_config, PyObject* key, bool fallback) {
  Ref value = call_method(idp_config, names::get, {key});
  if (value.get() == Py_None) return fallback;
  if (value.get() == Py_True) return true;
  if (value.get() == Py_False) return false;
  raise_not_a_flag(key, value.get());
}

// `mapping[key]` of a dict, or an empty Ref for anything else.
Ref dict_value(PyObject* mapping, PyObject* key) {
  if (!mapping || !PyDict_Check(mapping)) return Ref();
  return vs::getitem_opt(mapping, key);
}

using vs::as_double;

// [idp_name, id, expires]
Ref entry_of(PyObject* idp_name, PyObject* id, double expires) {
  Ref entry = vs::new_list();
  vs::append(entry.get(), idp_name);
  vs::append(entry.get(), id);
  vs::append(entry.get(), vs::check(PyFloat_FromDouble(expires)).get());
  return entry;
}

// Whether `entry` is [idp_name, id, expires] with `expires` still ahead.
bool unexpired_entry(PyObject* entry, double at) {
  if (!PyList_Check(entry) || PyList_Size(entry) != 3) return false;
  Ref expires = vs::item(entry, 2);
  if (!PyFloat_Check(expires.get()) && !PyLong_Check(expires.get())) return false;
  return as_double(expires.get()) > at;
}

// The entries of a stored list that are still to be answered; anything else
// a session holds under the key (another shape, another writer) is dropped.
Ref live_entries(PyObject* stored, double at) {
  Ref kept = vs::new_list();
  if (!PyList_Check(stored)) return kept;
  Ref iterator = vs::iterate(stored);
  while (Ref entry = vs::next(iterator.get()))
    if (unexpired_entry(entry.get(), at)) vs::append(kept.get(), entry.get());
  return kept;
}

// The value when it is text (what the toolkit gives), else None.
Ref text_or_none(Ref value) { return PyUnicode_Check(value.get()) ? value : vs::none(); }

// `(sent or default) == (kept or default)`: a qualifier left out names the
// default one (the IdP, this SP, the unspecified format).
bool same_qualifier(PyObject* sent, PyObject* kept, PyObject* fallback) {
  PyObject* left = sent && sent != Py_None && vs::truthy(sent) ? sent : fallback;
  PyObject* right = kept && kept != Py_None && vs::truthy(kept) ? kept : fallback;
  return vs::compare(left, right, Py_EQ);
}

}  // namespace

// Whether a LogoutRequest's NameID (the toolkit's mapping) and SessionIndex
// values name the login this session keeps.
bool names_the_login(PyObject* login, PyObject* idp_name, PyObject* name_id, PyObject* indexes,
                     PyObject* settings_obj) {
  if (!PyDict_Check(login)) return false;
  auto kept = [&](const vs::Name& key) {
    Ref value = vs::dict_get(login, key);
    return value ? value : vs::none();
  };
  auto sent = [&](const vs::Name& key) {
    Ref value = vs::getitem_opt(name_id, key);
    return value ? value : vs::none();
  };
  if (!vs::compare(kept(names::idp_name).get(), idp_name, Py_EQ)) return false;
  if (!vs::compare(sent(names::Value).get(), kept(names::name_id).get(), Py_EQ)) return false;
  Ref idp_entity_id = getitem(call_method(settings_obj, names::get_idp_data).get(), names::entityId);
  Ref sp_entity_id = getitem(call_method(settings_obj, names::get_sp_data).get(), names::entityId);
  if (!same_qualifier(sent(names::Format).get(), kept(names::name_id_format).get(), unspecified_format) ||
      !same_qualifier(sent(names::NameQualifier).get(), kept(names::name_id_nq).get(), idp_entity_id.get()) ||
      !same_qualifier(sent(names::SPNameQualifier).get(), kept(names::name_id_spnq).get(), sp_entity_id.get()))
    return false;
  // A request without SessionIndex names every session of the user.
  return !vs::truthy(indexes) || vs::contains(indexes, kept(names::session_index).get());
}

double now(const Args& a) { return as_double(call_method(a.global(names::time).get(), names::time).get()); }

bool live_entry_of(PyObject* entry, PyObject* idp_name, double at) {
  return unexpired_entry(entry, at) && vs::compare(vs::item(entry, 0).get(), idp_name, Py_EQ);
}

// idp_logout_options(idp_config)
Ref idp_logout_options(const Args& a) {
  bool allow_unsolicited = flag(a[0], names::allow_unsolicited, true);
  bool single_logout = flag(a[0], names::single_logout, false);
  return vs::tuple_of({vs::boolean(allow_unsolicited).get(), vs::boolean(single_logout).get()});
}

// check_single_logout_settings(saml_settings, idp_config=None)
Ref check_single_logout_settings(const Args& a) {
  Ref sp = dict_value(a[0], names::sp);
  Ref service = dict_value(sp.get(), names::singleLogoutService);
  Ref url = dict_value(service.get(), names::url);
  if (!url || !vs::truthy(url.get()))
    config_errors::raise_invalid({vs::ustr("\"single_logout\" needs settings.sp.singleLogoutService.url").get()});
  // The service takes logout messages on HTTP-Redirect; posted too from an
  // IdP whose logout messages go by HTTP-POST.
  Ref binding = dict_value(service.get(), names::binding);
  bool posted = binding && a[1] != Py_None && vs::compare(binding.get(), bindings::post, Py_EQ) &&
                bindings::logout_by_post(a[1], a[0]);
  if (binding && !posted && vs::compare(binding.get(), bindings::redirect, Py_NE)) {
    Ref shown = vs::check(PyObject_Repr(binding.get()));
    config_errors::raise_invalid({vs::ustr("\"single_logout\" takes logout messages on HTTP-Redirect (on HTTP-POST "
                                           "too from an IdP whose logout goes by HTTP-POST), not "
                                           "settings.sp.singleLogoutService.binding ")
                                      .get(),
                                  shown.get()});
  }
  return vs::none();
}

// remember_authn_request(request, idp_config, request_id)
Ref remember_authn_request(const Args& a) {
  Ref session = getattr(a[0], names::session);
  double at = now(a);
  Ref stored = call_method(session.get(), names::get, {authn_requests_key});
  Ref entries = live_entries(stored.get(), at);
  double lifetime = as_double(a.global(names::AUTHN_REQUEST_LIFETIME).get());
  Ref idp_name = getitem(a[1], names::idp_name);
  vs::append(entries.get(), entry_of(idp_name.get(), a[2], at + lifetime).get());
  Py_ssize_t most = vs::as_ssize(a.global(names::MAX_AUTHN_REQUESTS).get());
  Py_ssize_t size = PyList_Size(entries.get());
  // The oldest go first.
  if (size > most) entries = vs::check(PySequence_GetSlice(entries.get(), size - (most > 0 ? most : 0), size));
  vs::setitem(session.get(), authn_requests_key, entries.get());
  return vs::none();
}

// claim_authn_request(request, idp_config, in_response_to)
Ref claim_authn_request(const Args& a) {
  Ref session = getattr(a[0], names::session);
  Ref stored = call_method(session.get(), names::get, {authn_requests_key});
  if (stored.get() == Py_None || !PyUnicode_Check(a[2])) vs::raise_new(PyExc_ValueError, unsolicited);
  Ref entries = live_entries(stored.get(), now(a));
  Ref idp_name = getitem(a[1], names::idp_name);
  // Used once, whatever becomes of the response that claims it.
  Ref kept = vs::new_list();
  bool found = false;
  Ref iterator = vs::iterate(entries.get());
  while (Ref entry = vs::next(iterator.get())) {
    bool answered = !found && vs::compare(vs::item(entry.get(), 0).get(), idp_name.get(), Py_EQ) &&
                    vs::compare(vs::item(entry.get(), 1).get(), a[2], Py_EQ);
    if (answered)
      found = true;
    else
      vs::append(kept.get(), entry.get());
  }
  vs::setitem(session.get(), authn_requests_key, kept.get());
  if (!found) vs::raise_new(PyExc_ValueError, unsolicited);
  return Ref::borrow(a[2]);
}

Ref repost_page(const Args& a, PyObject* request, PyObject* field, const vs::Name& title) {
  Ref post = getattr(request, names::POST);
  Ref marker = a.global(names::REPOST_MARKER);
  if (vs::contains(post.get(), marker.get())) return Ref();
  Ref session = getattr(request, names::session);
  if (!vs::truthy(getattr(session.get(), names::new_).get())) return Ref();
  Ref message = call_method(post.get(), names::get, {field});
  if (!PyUnicode_Check(message.get())) return Ref();
  Ref relay_state = call_method(post.get(), names::get, {names::RelayState});
  Ref path = getattr(request, names::path);
  Ref one = vs::ustr("1");
  return form_page(a, path.get(),
                   {{field, message.get()},
                    {names::RelayState, PyUnicode_Check(relay_state.get()) ? relay_state.get() : nullptr},
                    {marker.get(), one.get()}},
                   title);
}

// repost_without_cookie(request)
Ref repost_without_cookie(const Args& a) {
  Ref page = repost_page(a, a[0], names::SAMLResponse, signing_in);
  return page ? page : vs::none();
}

// remember_login(request, idp_config, saml_auth)
Ref remember_login(const Args& a) {
  struct Kept {
    const vs::Name& key;
    const vs::Name& getter;
  };
  const Kept kept[] = {
      {names::name_id, names::get_nameid},
      {names::name_id_format, names::get_nameid_format},
      {names::name_id_nq, names::get_nameid_nq},
      {names::name_id_spnq, names::get_nameid_spnq},
      {names::session_index, names::get_session_index},
  };
  Ref login = vs::new_dict();
  vs::setitem(login.get(), names::idp_name, getitem(a[1], names::idp_name).get());
  for (const Kept& item : kept)
    vs::setitem(login.get(), item.key, text_or_none(call_method(a[2], item.getter)).get());
  // A login through a federation: which of its IdPs the logout goes to.
  if (Ref entity = vs::getitem_opt(a[1], names::federation_entity))
    vs::setitem(login.get(), names::entity_id, getitem(entity.get(), names::entity_id).get());
  vs::setitem(getattr(a[0], names::session).get(), names::velmora_saml_login, login.get());
  return vs::none();
}

}  // namespace logout
