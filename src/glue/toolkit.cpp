#include "toolkit.hpp"

#include "names.hpp"

namespace toolkit {
namespace {

// Kept for the process, like the module names they come from.
PyObject* auth_module = nullptr;
PyObject* own_auth = nullptr;
PyObject* own_settings = nullptr;

}  // namespace

void remember_own_classes() {
  if (auth_module) return;
  vs::Ref module = vs::check(PyImport_ImportModule("onelogin.saml2.auth"));
  vs::Ref auth = vs::getattr(module.get(), names::OneLogin_Saml2_Auth);
  vs::Ref settings = vs::getattr(module.get(), names::OneLogin_Saml2_Settings);
  own_auth = auth.release();
  own_settings = settings.release();
  auth_module = module.release();
}

bool takes_settings_object(PyObject* auth_class) {
  if (!auth_module || auth_class != own_auth) return false;
  // The name the toolkit's constructor resolves when it runs.
  vs::Ref settings_class = vs::getattr_opt(auth_module, names::OneLogin_Saml2_Settings);
  return settings_class.get() == own_settings;
}

PyObject* own_settings_class() { return own_settings; }

}  // namespace toolkit
