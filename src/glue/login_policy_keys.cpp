#include "login_policy_keys.hpp"

#include "siblings.hpp"

namespace login_policy_keys {

using vs::Ref;

bool named(PyObject* idp_config) {
  for (PyObject* key : {names::authn_contexts.get(), names::default_authn_context.get(),
                        names::allow_force_authn.get(), names::max_authn_age.get(), names::session_lifetime.get()})
    if (vs::contains(idp_config, key)) return true;
  return false;
}

Ref module() { return siblings::get(siblings::login_policy); }

Asked login_request(PyObject* request, PyObject* idp_config) {
  // The module's own function: a test or the host may have replaced it.
  Ref pair = vs::call_method(module().get(), names::login_request, {request, idp_config});
  if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2)
    vs::raise_format(PyExc_TypeError, "login_request() must return a pair, not %.100s", Py_TYPE(pair.get())->tp_name);
  Asked asked;
  asked.class_refs = vs::item(pair.get(), 0);
  if (asked.class_refs.get() != Py_None && !PyList_Check(asked.class_refs.get()))
    vs::raise_format(PyExc_TypeError, "login_request() must name its class refs in a list, not %.100s",
                     Py_TYPE(asked.class_refs.get())->tp_name);
  asked.force_authn = vs::truthy(vs::item(pair.get(), 1).get());
  return asked;
}

Ref settings_asking(PyObject* saml_settings, PyObject* class_refs) {
  static const vs::Name exact{"exact"};
  Ref copy_module = vs::check(PyImport_ImportModule("copy"));
  Ref copied = vs::call_method(copy_module.get(), names::deepcopy, {saml_settings});
  Ref security = vs::getitem_opt(copied.get(), names::security);
  if (!security || !PyDict_Check(security.get())) {
    security = vs::new_dict();
    vs::setitem(copied.get(), names::security, security.get());
  }
  vs::setitem(security.get(), names::requestedAuthnContext, vs::check(PySequence_List(class_refs)).get());
  vs::setitem(security.get(), names::requestedAuthnContextComparison, exact);
  return copied;
}

}  // namespace login_policy_keys
