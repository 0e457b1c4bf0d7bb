#include "toolkit.hpp"

#include "names.hpp"

namespace toolkit {
namespace {

// Kept for the process, like the module names they come from.
PyObject* auth_module = nullptr;
PyObject* own_auth = nullptr;
PyObject* own_settings = nullptr;
PyObject* own_metadata_check = nullptr;  // OneLogin_Saml2_Settings.validate_metadata

}  // namespace

void remember_own_classes() {
  if (auth_module) return;
  vs::Ref module = vs::check(PyImport_ImportModule("onelogin.saml2.auth"));
  vs::Ref auth = vs::getattr(module.get(), names::OneLogin_Saml2_Auth);
  vs::Ref settings = vs::getattr(module.get(), names::OneLogin_Saml2_Settings);
  vs::Ref check = vs::getattr(settings.get(), names::validate_metadata);
  own_metadata_check = check.release();
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

bool is_own_metadata_check(PyObject* check, PyObject* settings_obj) {
  return own_metadata_check && Py_TYPE(settings_obj) == reinterpret_cast<PyTypeObject*>(own_settings) &&
         PyMethod_Check(check) && PyMethod_GET_FUNCTION(check) == own_metadata_check &&
         PyMethod_GET_SELF(check) == settings_obj;
}

}  // namespace toolkit
