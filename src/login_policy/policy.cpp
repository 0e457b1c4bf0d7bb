// The keys of an IdP entry that make up its login policy, checked. Read on
// every login start and callback of such an entry, and by validation, which
// switches off an entry whose keys are wrong.
#include <cmath>

#include "../glue/config_errors.hpp"
#include "../glue/logout_options.hpp"
#include "login_policy.hpp"

namespace login_policy {

using config_errors::raise_invalid;
using config_errors::shown;
using vs::ustr;

namespace {

// entry.get(key): any mapping the host keeps.
Ref value_of(PyObject* idp_config, PyObject* key) { return vs::call_method(idp_config, names::get, {key}); }

// A positive, finite number of seconds (a bool is no number here).
bool positive_seconds(PyObject* value, double* seconds) {
  if (PyBool_Check(value) || (!PyLong_Check(value) && !PyFloat_Check(value))) return false;
  *seconds = vs::as_double(value);
  return std::isfinite(*seconds) && *seconds > 0;
}

bool non_empty_text(PyObject* value) { return PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value) > 0; }

// {name: [class ref, ...]} of the entry's "authn_contexts", as a dict of
// its own (the host's mapping is never kept).
Ref checked_contexts(PyObject* contexts) {
  auto refuse = [&] {
    raise_invalid({ustr("\"authn_contexts\" must map names to lists of AuthnContextClassRef values (texts), not ")
                       .get(),
                   shown(contexts).get()});
  };
  if (!PyDict_Check(contexts)) refuse();
  Ref checked = vs::new_dict();
  vs::for_each_item(contexts, [&](const Ref& name, const Ref& values) {
    if (!non_empty_text(name.get()) || !(PyList_Check(values.get()) || PyTuple_Check(values.get()))) refuse();
    Ref class_refs = vs::check(PySequence_List(values.get()));
    if (PyList_Size(class_refs.get()) == 0) refuse();
    Ref iterator = vs::iterate(class_refs.get());
    while (Ref class_ref = vs::next(iterator.get()))
      if (!non_empty_text(class_ref.get())) refuse();
    vs::setitem(checked.get(), name.get(), class_refs.get());
  });
  return checked;
}

bool flag(PyObject* idp_config, PyObject* key) {
  Ref value = value_of(idp_config, key);
  if (value.get() == Py_None || value.get() == Py_False) return false;
  if (value.get() == Py_True) return true;
  raise_invalid({ustr("\"").get(), key, ustr("\" must be true, false or null, not ").get(), shown(value.get()).get()});
}

// "idp", a number of seconds, or {"idp": true, "max": seconds}.
void read_session_lifetime(PyObject* value, Policy& policy) {
  auto refuse = [&] {
    raise_invalid({ustr("\"session_lifetime\" must be \"idp\", a positive number of seconds or "
                        "{\"idp\": true, \"max\": <seconds>}, not ")
                       .get(),
                   shown(value).get()});
  };
  if (PyUnicode_Check(value)) {
    if (PyUnicode_CompareWithASCIIString(value, "idp") != 0) refuse();
    policy.session_ends_with_idp = true;
    return;
  }
  if (!PyDict_Check(value)) {
    if (!positive_seconds(value, &policy.session_max)) refuse();
    return;
  }
  vs::for_each_item(value, [&](const Ref& key, const Ref& item) {
    if (PyUnicode_Check(key.get()) && PyUnicode_CompareWithASCIIString(key.get(), "idp") == 0) {
      if (item.get() != Py_True && item.get() != Py_False && item.get() != Py_None) refuse();
      policy.session_ends_with_idp = item.get() == Py_True;
    } else if (PyUnicode_Check(key.get()) && PyUnicode_CompareWithASCIIString(key.get(), "max") == 0) {
      if (item.get() != Py_None && !positive_seconds(item.get(), &policy.session_max)) refuse();
    } else {
      refuse();
    }
  });
  if (!policy.session_ends_with_idp && policy.session_max == 0) refuse();
}

// The context check and the ForceAuthn check compare the response with the
// AuthnRequest it answers, which only a solicited-only entry knows.
void require_solicited(PyObject* idp_config, const char* key) {
  if (!logout_options::read(idp_config).allow_unsolicited) return;
  raise_invalid({ustr("\"").get(), ustr(key).get(),
                 ustr("\" needs \"allow_unsolicited\": false (the response is checked against the AuthnRequest it "
                      "answers)")
                     .get()});
}

}  // namespace

Policy policy_of(PyObject* idp_config) {
  Policy policy;
  Ref contexts = value_of(idp_config, names::authn_contexts);
  if (contexts.get() != Py_None) policy.authn_contexts = checked_contexts(contexts.get());

  Ref default_name = value_of(idp_config, names::default_authn_context);
  if (default_name.get() != Py_None) {
    bool defined = policy.authn_contexts && PyUnicode_Check(default_name.get()) &&
                   vs::dict_get(policy.authn_contexts.get(), default_name.get());
    if (!defined) {
      Ref defined_names = policy.authn_contexts ? vs::join(ustr(", ").get(), policy.authn_contexts.get())
                                                : ustr("none defined");
      raise_invalid({ustr("\"default_authn_context\" must be one of the names of \"authn_contexts\" (").get(),
                     defined_names.get(), ustr("), not ").get(), shown(default_name.get()).get()});
    }
    policy.default_authn_context = default_name;
  }

  policy.allow_force_authn = flag(idp_config, names::allow_force_authn);

  Ref age = value_of(idp_config, names::max_authn_age);
  if (age.get() != Py_None && !positive_seconds(age.get(), &policy.max_authn_age))
    raise_invalid({ustr("\"max_authn_age\" must be a positive number of seconds, not ").get(), shown(age.get()).get()});

  Ref lifetime = value_of(idp_config, names::session_lifetime);
  if (lifetime.get() != Py_None) read_session_lifetime(lifetime.get(), policy);

  if (policy.authn_contexts) require_solicited(idp_config, "authn_contexts");
  if (policy.allow_force_authn) require_solicited(idp_config, "allow_force_authn");
  return policy;
}

// login_policy(idp_config)
Ref login_policy(const Args& a) {
  Policy policy = policy_of(a[0]);
  auto seconds_or_none = [](double seconds) {
    return seconds > 0 ? vs::check(PyFloat_FromDouble(seconds)) : vs::none();
  };
  Ref checked = vs::new_dict();
  vs::setitem(checked.get(), names::authn_contexts,
              policy.authn_contexts ? policy.authn_contexts.get() : Py_None);
  vs::setitem(checked.get(), names::default_authn_context,
              policy.default_authn_context ? policy.default_authn_context.get() : Py_None);
  vs::setitem(checked.get(), names::allow_force_authn, policy.allow_force_authn ? Py_True : Py_False);
  vs::setitem(checked.get(), names::max_authn_age, seconds_or_none(policy.max_authn_age).get());
  Ref lifetime = vs::none();
  if (policy.session_ends_with_idp || policy.session_max > 0) {
    lifetime = vs::new_dict();
    vs::setitem(lifetime.get(), names::idp, policy.session_ends_with_idp ? Py_True : Py_False);
    vs::setitem(lifetime.get(), names::max, seconds_or_none(policy.session_max).get());
  }
  vs::setitem(checked.get(), names::session_lifetime, lifetime.get());
  return checked;
}

}  // namespace login_policy
