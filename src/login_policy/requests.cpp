// What a login start asks of the IdP, kept in the browser's session with
// the AuthnRequest's id, and the check of the response against it: the
// AuthnContextClassRef must be one asked for, and the sign-in must be fresh
// enough (made after a ForceAuthn request was sent, younger than
// max_authn_age). The toolkit builds the RequestedAuthnContext but checks
// none of this.
#include <cmath>
#include <ctime>
#include <string>

#include "../glue/one_line.hpp"
#include "../glue/siblings.hpp"
#include "../glue/toolkit.hpp"
#include "../glue/xpath.hpp"
#include "login_policy.hpp"
#include "state.hpp"

namespace login_policy {

using vs::call_method;
using vs::getattr;
using vs::getitem;
using vs::ustr;

namespace {

const vs::Name not_accepted{"Authentication context not accepted"};
const vs::Name stale{"Authentication is older than the request"};
const vs::Name one{"1"};
const vs::Name true_text{"true"};
const vs::Name comma{", "};
const vs::Name sign_in_key{"velmora_saml.sign_in"};

// The session entry of one AuthnRequest that asked something:
// [idp_name, request id, sent at (Unix time), class refs or None, ForceAuthn].
constexpr Py_ssize_t kEntrySize = 5;

Ref seconds(double value) { return vs::check(PyFloat_FromDouble(value)); }

// A number of seconds as text: whole ones without a fraction. (Casts, not
// std::floor: the module needs no libm.)
Ref seconds_text(double value) {
  bool whole = value > -1e15 && value < 1e15 && value == static_cast<double>(static_cast<long long>(value));
  return vs::text(whole ? vs::check(PyLong_FromLongLong(static_cast<long long>(value))).get() : seconds(value).get());
}

// A Unix time as "2026-12-09 06:10:02 UTC".
Ref utc_text(double when) {
  char text[40] = "?";
  if (!(when > -1e15 && when < 1e15)) return ustr(text);
  std::time_t whole = static_cast<std::time_t>(when);
  std::tm parts{};
  if (gmtime_r(&whole, &parts)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return ustr(text);
}

// raise ValueError(message) whose `saml_detail` says why, for the audit
// record: the login-failed page shows the message alone.
[[noreturn]] void refuse(PyObject* message, PyObject* detail) {
  Ref error = vs::call(PyExc_ValueError, {message});
  vs::setattr(error.get(), names::saml_detail, detail);
  vs::raise_value(error);
}

// How long an AuthnRequest may be answered and how many are kept per
// session: velmora_saml.logout's, which keeps their ids.
struct RequestLimits {
  double lifetime;
  Py_ssize_t most;
};
RequestLimits request_limits() {
  Ref logout = siblings::get(siblings::logout);
  return {vs::as_double(getattr(logout.get(), names::AUTHN_REQUEST_LIFETIME).get()),
          vs::as_ssize(getattr(logout.get(), names::MAX_AUTHN_REQUESTS).get())};
}

bool is_number(PyObject* value) { return !PyBool_Check(value) && (PyLong_Check(value) || PyFloat_Check(value)); }

// Whether `entry` has the shape of one this file wrote, and is still to be answered.
bool live_entry(PyObject* entry, double at, double lifetime) {
  if (!PyList_Check(entry) || PyList_Size(entry) != kEntrySize) return false;
  Ref sent_at = vs::item(entry, 2);
  return is_number(sent_at.get()) && vs::as_double(sent_at.get()) + lifetime > at;
}

// The entries the session keeps that are still to be answered; anything
// else under the key (another shape, another writer) is dropped.
Ref live_entries(PyObject* session, double at, double lifetime) {
  Ref stored = call_method(session, names::get, {names::velmora_saml_login_requests});
  Ref kept = vs::new_list();
  if (!PyList_Check(stored.get())) return kept;
  Ref iterator = vs::iterate(stored.get());
  while (Ref entry = vs::next(iterator.get()))
    if (live_entry(entry.get(), at, lifetime)) vs::append(kept.get(), entry.get());
  return kept;
}

// What the AuthnRequest `request_id` of this IdP asked, taken out of the
// session (used once, like its id); false when the session has no entry.
struct AskedOf {
  Ref class_refs = vs::none();
  double sent_at = NAN;
  bool force_authn = false;
};
bool take_asked(const Args& a, PyObject* request, PyObject* idp_name, PyObject* request_id, AskedOf& asked) {
  Ref session = getattr(request, names::session);
  RequestLimits limits = request_limits();
  Ref entries = live_entries(session.get(), now(a), limits.lifetime);
  Ref kept = vs::new_list();
  bool found = false;
  Ref iterator = vs::iterate(entries.get());
  while (Ref entry = vs::next(iterator.get())) {
    bool answered = !found && vs::compare(vs::item(entry.get(), 0).get(), idp_name, Py_EQ) &&
                    vs::compare(vs::item(entry.get(), 1).get(), request_id, Py_EQ);
    if (!answered) {
      vs::append(kept.get(), entry.get());
      continue;
    }
    found = true;
    asked.sent_at = vs::as_double(vs::item(entry.get(), 2).get());
    Ref class_refs = vs::item(entry.get(), 3);
    if (PyList_Check(class_refs.get())) asked.class_refs = class_refs;
    asked.force_authn = vs::item(entry.get(), 4).get() == Py_True;
  }
  vs::setitem(session.get(), names::velmora_saml_login_requests, kept.get());
  return found;
}

// The compiled query of the assertion's AuthnStatements, made on first use.
PyObject* authn_statements_query() {
  if (module_state.authn_statements) return module_state.authn_statements;
  Ref query = xpath::compile("/samlp:Response/saml:Assertion/saml:AuthnStatement");
  // Another thread may have made it meanwhile (the calls above run Python code).
  if (!module_state.authn_statements) module_state.authn_statements = query.release();
  return module_state.authn_statements;
}

// The earliest AuthnInstant of the response the toolkit accepted (its
// document, decrypted), or None when a statement states none it can read.
Ref earliest_authn_instant(const Args& a, PyObject* saml_auth) {
  // The toolkit's own auth object hands on the document it checked.
  Ref document = toolkit::last_response_document(saml_auth);
  if (!document) {
    Ref xml = call_method(saml_auth, names::get_last_response_xml);
    if (!PyUnicode_Check(xml.get()) && !PyBytes_Check(xml.get())) return vs::none();
    document = call_method(a.global(names::OneLogin_Saml2_XML).get(), names::to_etree, {xml.get()});
  }
  Ref statements = vs::call(authn_statements_query(), {document.get()});
  Ref earliest = vs::none();
  Ref iterator = vs::iterate(statements.get());
  while (Ref statement = vs::next(iterator.get())) {
    Ref text = call_method(statement.get(), names::get, {names::AuthnInstant});
    if (!PyUnicode_Check(text.get())) return vs::none();
    Ref instant;
    try {
      instant = call_method(a.global(names::OneLogin_Saml2_Utils).get(), names::parse_SAML_to_time, {text.get()});
    } catch (const vs::PyError&) {
      vs::Caught e(PyExc_Exception);
      return vs::none();
    }
    if (!is_number(instant.get())) return vs::none();
    if (earliest.get() == Py_None || vs::as_double(instant.get()) < vs::as_double(earliest.get())) earliest = instant;
  }
  return earliest;
}

// "a, b" of texts from outside, each one bounded line.
Ref shown_list(PyObject* texts) {
  Ref shown = vs::new_list();
  Ref iterator = vs::iterate(texts);
  while (Ref text = vs::next(iterator.get())) vs::append(shown.get(), one_line::shown(text.get(), 200).get());
  return vs::join(comma, shown.get());
}

void check_context(PyObject* asked, PyObject* received) {
  bool accepted = PyList_Size(received) > 0;
  Ref iterator = vs::iterate(received);
  while (Ref class_ref = vs::next(iterator.get()))
    if (!vs::contains(asked, class_ref.get())) accepted = false;
  if (accepted) return;
  Ref came = PyList_Size(received) > 0 ? shown_list(received) : ustr("no AuthnContextClassRef");
  refuse(not_accepted, vs::concat({ustr("asked ").get(), shown_list(asked).get(), ustr("; received ").get(),
                                   came.get()}).get());
}

}  // namespace

double now(const Args& a) { return vs::as_double(call_method(a.global(names::time).get(), names::time).get()); }

SignIn sign_in_of(const Args& a, PyObject* request, PyObject* saml_auth) {
  // (auth object, class refs, AuthnInstant) of this request's response, kept
  // by the first reader: reading the AuthnInstant parses the whole response
  // again (a fifth of a millisecond).
  Ref environ = vs::getattr_opt(request, names::environ);
  if (environ && !PyDict_Check(environ.get())) environ = Ref();
  Ref kept = environ ? vs::dict_get(environ.get(), sign_in_key) : Ref();
  SignIn sign_in;
  if (kept && PyTuple_Check(kept.get()) && PyTuple_Size(kept.get()) == 3 && vs::item(kept.get(), 0).get() == saml_auth) {
    sign_in.class_refs = vs::item(kept.get(), 1);
    sign_in.authn_instant = vs::item(kept.get(), 2);
    if (PyList_Check(sign_in.class_refs.get())) return sign_in;
  }
  Ref class_refs = call_method(saml_auth, names::get_last_authn_contexts);
  sign_in.class_refs = vs::check(PySequence_List(class_refs.get()));
  sign_in.authn_instant = earliest_authn_instant(a, saml_auth);
  if (environ)
    vs::setitem(environ.get(), sign_in_key,
                vs::tuple_of({saml_auth, sign_in.class_refs.get(), sign_in.authn_instant.get()}).get());
  return sign_in;
}

// login_request(request, idp_config)
Ref login_request(const Args& a) {
  Policy policy = policy_of(a[1]);
  Ref params = getattr(a[0], names::params);
  Ref class_refs = vs::none();
  if (policy.authn_contexts) {
    Ref name = call_method(params.get(), names::get, {names::authn_context});
    if (name.get() == Py_None) name = policy.default_authn_context;
    if (name) {
      Ref defined = PyUnicode_Check(name.get()) ? vs::dict_get(policy.authn_contexts.get(), name.get()) : Ref();
      if (!defined) {
        Ref message = vs::concat({ustr("Authentication context \"").get(), one_line::shown(name.get(), 100).get(),
                                  ustr("\" is not defined for this identity provider").get()});
        vs::raise_new(PyExc_ValueError, message.get());
      }
      class_refs = vs::check(PySequence_List(defined.get()));
    }
  }
  bool force_authn = false;
  if (policy.allow_force_authn) {
    Ref asked = call_method(params.get(), names::get, {names::force_authn});
    force_authn = PyUnicode_Check(asked.get()) &&
                  (vs::compare(asked.get(), one, Py_EQ) ||
                   vs::compare(call_method(asked.get(), names::lower).get(), true_text, Py_EQ));
  }
  return vs::tuple_of({class_refs.get(), vs::boolean(force_authn).get()});
}

// remember_login_request(request, idp_config, request_id, class_refs, force_authn)
Ref remember_login_request(const Args& a) {
  Ref session = getattr(a[0], names::session);
  Ref idp_name = getitem(a[1], names::idp_name);
  double at = now(a);
  RequestLimits limits = request_limits();
  Ref entries = live_entries(session.get(), at, limits.lifetime);
  Ref class_refs = PyList_Check(a[3]) ? vs::check(PySequence_List(a[3])) : vs::none();
  Ref sent_at = seconds(at);
  Ref force_authn = vs::boolean(vs::truthy(a[4]));
  Ref entry = vs::new_list();
  for (PyObject* item : {idp_name.get(), a[2], sent_at.get(), class_refs.get(), force_authn.get()})
    vs::append(entry.get(), item);
  vs::append(entries.get(), entry.get());
  Py_ssize_t size = PyList_Size(entries.get());
  Py_ssize_t most = limits.most > 0 ? limits.most : 0;
  // The oldest go first, as their ids do.
  if (size > most) entries = vs::check(PySequence_GetSlice(entries.get(), size - most, size));
  vs::setitem(session.get(), names::velmora_saml_login_requests, entries.get());
  return vs::none();
}

// check_response(request, idp_config, saml_auth, request_id)
Ref check_response(const Args& a) {
  PyObject* request = a[0];
  PyObject* idp_config = a[1];
  PyObject* saml_auth = a[2];
  Policy policy = policy_of(idp_config);
  AskedOf asked;
  bool found = false;
  if (a[3] != Py_None) found = take_asked(a, request, getitem(idp_config, names::idp_name).get(), a[3], asked);
  // A request made before the entry had its policy (or whose entry the
  // session lost) is held to what a login start asks by default.
  if (!found && policy.default_authn_context)
    asked.class_refs = vs::dict_get(policy.authn_contexts.get(), policy.default_authn_context.get());
  if (asked.class_refs.get() == Py_None && !asked.force_authn && policy.max_authn_age == 0) return vs::none();

  SignIn sign_in = sign_in_of(a, request, saml_auth);
  if (asked.class_refs.get() != Py_None) check_context(asked.class_refs.get(), sign_in.class_refs.get());
  bool stated = sign_in.authn_instant.get() != Py_None;
  double instant = stated ? vs::as_double(sign_in.authn_instant.get()) : NAN;
  if (asked.force_authn) {
    // The IdP was asked to sign the user in again: a sign-in from before
    // the request (an IdP that ignores ForceAuthn) is not one.
    double skew = vs::as_double(a.global(names::AUTHN_INSTANT_SKEW).get());
    if (!stated)
      refuse(stale, ustr("ForceAuthn was asked and the response states no AuthnInstant").get());
    if (instant < asked.sent_at - skew)
      refuse(stale, vs::concat({ustr("ForceAuthn was asked at ").get(), utc_text(asked.sent_at).get(),
                                ustr("; AuthnInstant ").get(), utc_text(instant).get(),
                                ustr(" is earlier, beyond AUTHN_INSTANT_SKEW (").get(),
                                vs::text(a.global(names::AUTHN_INSTANT_SKEW).get()).get(), ustr(" s)").get()})
                        .get());
  }
  if (policy.max_authn_age > 0) {
    if (!stated) refuse(stale, ustr("max_authn_age is set and the response states no AuthnInstant").get());
    double age = now(a) - instant;
    if (age > policy.max_authn_age) {
      Ref detail = vs::concat({ustr("AuthnInstant ").get(), utc_text(instant).get(), ustr(" is ").get(),
                               seconds_text(static_cast<double>(static_cast<long long>(age))).get(),
                               ustr(" s old; max_authn_age is ").get(),
                               seconds_text(policy.max_authn_age).get(), ustr(" s").get()});
      refuse(stale, detail.get());
    }
  }
  return vs::none();
}

}  // namespace login_policy
