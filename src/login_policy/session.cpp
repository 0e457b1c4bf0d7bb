// The login a session holds: what the callback of an entry with a login
// policy keeps of it (the host reads it with login_context), and the end
// of the session that "session_lifetime" sets, which the tween enforces.
// Everything kept is text, numbers and None, which any session serializer
// stores.
#include <cmath>

#include "../glue/view_helpers.hpp"
#include "login_policy.hpp"

namespace login_policy {

using vs::call;
using vs::call_method;
using vs::getattr;

namespace {

// What login_context hands the host, in this order; the session entry holds
// these, the session's end ("ends_at") and the host user id (for the audit
// record of an ended session).
const vs::Name* const kContextKeys[] = {&names::idp_id, &names::entity_id, &names::name_id, &names::authn_context,
                                        &names::authn_instant, &names::session_not_on_or_after};

const vs::Name set_cookie{"set-cookie"};
const vs::Name equals{"="};

Ref text_or_none(Ref value) { return PyUnicode_Check(value.get()) ? value : vs::none(); }
bool is_number(PyObject* value) { return !PyBool_Check(value) && (PyLong_Check(value) || PyFloat_Check(value)); }

// The IdP's entity ID as the settings the response was checked with name it.
Ref idp_entity_id(PyObject* saml_auth) {
  Ref settings = call_method(saml_auth, names::get_settings);
  Ref idp = call_method(settings.get(), names::get_idp_data);
  Ref entity_id = PyDict_Check(idp.get()) ? vs::dict_get(idp.get(), names::entityId) : Ref();
  return entity_id ? text_or_none(entity_id) : vs::none();
}

// When the session ends (Unix time), or None: the IdP's SessionNotOnOrAfter
// and the entry's maximum from now, the earlier of those that apply.
Ref session_end(const Policy& policy, PyObject* session_not_on_or_after, double at) {
  double end = INFINITY;
  if (policy.session_ends_with_idp && is_number(session_not_on_or_after))
    end = vs::as_double(session_not_on_or_after);
  if (policy.session_max > 0 && at + policy.session_max < end) end = at + policy.session_max;
  return std::isfinite(end) ? vs::check(PyFloat_FromDouble(end)) : vs::none();
}

// Whether the session's login has passed the end it was given.
bool past_its_end(const Args& a, PyObject* login) {
  if (!PyDict_Check(login)) return false;
  Ref ends_at = vs::dict_get(login, names::ends_at);
  return ends_at && is_number(ends_at.get()) && now(a) >= vs::as_double(ends_at.get());
}

// The cookies the host's `forget` headers clear, taken off the request
// too: the rest of this request then runs as the host runs it for a
// visitor who is not logged in.
void drop_forgotten_cookies(PyObject* request, PyObject* headers) {
  Ref cookies = getattr(request, names::cookies);
  Ref iterator = vs::iterate(headers);
  while (Ref header = vs::next(iterator.get())) {
    Ref name, value;
    vs::unpack_pair(header.get(), name, value);
    if (!PyUnicode_Check(name.get()) || !PyUnicode_Check(value.get())) continue;
    if (vs::compare(call_method(name.get(), names::lower).get(), set_cookie, Py_NE)) continue;
    Ref cookie_name = vs::item(call_method(value.get(), names::split, {equals, vs::integer(1).get()}).get(), 0);
    call_method(cookies.get(), names::pop, {call_method(cookie_name.get(), names::strip).get(), Py_None});
  }
}

}  // namespace

// remember_login_context(request, idp_id, idp_config, saml_auth, user_id)
Ref remember_login_context(const Args& a) {
  PyObject* saml_auth = a[3];
  Policy policy = policy_of(a[2]);
  SignIn sign_in = sign_in_of(a, a[0], saml_auth);
  Ref class_ref = PyList_Size(sign_in.class_refs.get()) > 0 ? vs::item(sign_in.class_refs.get(), 0) : vs::none();
  Ref session_not_on_or_after = call_method(saml_auth, names::get_session_expiration);
  if (!is_number(session_not_on_or_after.get())) session_not_on_or_after = vs::none();
  Ref login = vs::new_dict();
  vs::setitem(login.get(), names::idp_id, a[1]);
  vs::setitem(login.get(), names::entity_id, idp_entity_id(saml_auth).get());
  vs::setitem(login.get(), names::name_id, text_or_none(call_method(saml_auth, names::get_nameid)).get());
  vs::setitem(login.get(), names::authn_context, text_or_none(class_ref).get());
  vs::setitem(login.get(), names::authn_instant, sign_in.authn_instant.get());
  vs::setitem(login.get(), names::session_not_on_or_after, session_not_on_or_after.get());
  vs::setitem(login.get(), names::ends_at, session_end(policy, session_not_on_or_after.get(), now(a)).get());
  vs::setitem(login.get(), names::user_id, vs::text(a[4]).get());
  vs::setitem(getattr(a[0], names::session).get(), names::velmora_saml_login_context, login.get());
  return vs::none();
}

// login_context(request)
Ref login_context(const Args& a) {
  Ref session = getattr(a[0], names::session);
  Ref login = call_method(session.get(), names::get, {names::velmora_saml_login_context});
  if (!PyDict_Check(login.get())) return vs::none();
  Ref context = vs::new_dict();
  for (const vs::Name* key : kContextKeys) {
    Ref value = vs::dict_get(login.get(), *key);
    vs::setitem(context.get(), *key, value ? value.get() : Py_None);
  }
  return context;
}

namespace SamlSessionTween {

// SamlSessionTween.__init__(self, handler, registry)
Ref init(const Args& a) {
  vs::setattr(a[0], names::handler, a[1]);
  vs::setattr(a[0], names::registry, a[2]);
  return vs::none();
}

// SamlSessionTween.__call__(self, request)
Ref call_(const Args& a) {
  PyObject* request = a[1];
  Ref handler = getattr(a[0], names::handler);
  Ref session = getattr(request, names::session);
  Ref login = call_method(session.get(), names::get, {names::velmora_saml_login_context});
  if (!past_its_end(a, login.get())) return call(handler.get(), {request});
  // As the host's logout ends a session: the session dropped, the user
  // forgotten; and the request goes on as one that is not logged in.
  view_helpers::audit(names::session_expired, {request, login.get()});
  call_method(session.get(), names::invalidate);
  Ref headers = vs::check(PySequence_List(call(a.global(names::forget).get(), {request}).get()));
  drop_forgotten_cookies(request, headers.get());
  Ref response = call(handler.get(), {request});
  call_method(getattr(response.get(), names::headerlist).get(), names::extend, {headers.get()});
  return response;
}

}  // namespace SamlSessionTween

namespace {

const vs::MemberSpec SamlSessionTween_members[] = {
    {vs::Kind::Method, "__init__", "(self, handler, registry)", nullptr, SamlSessionTween::init},
    {vs::Kind::Method, "__call__", "(self, request)", nullptr, SamlSessionTween::call_},
};

}  // namespace

Ref build_SamlSessionTween(PyObject* module) {
  return vs::ClassBuilder(module, "SamlSessionTween",
                          "Pyramid tween: ends a session whose login is past the end \"session_lifetime\" gave it")
      .members(SamlSessionTween_members)
      .build();
}

}  // namespace login_policy
