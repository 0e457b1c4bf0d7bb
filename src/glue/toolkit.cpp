#include "toolkit.hpp"

#include "names.hpp"
#include "siblings.hpp"

namespace toolkit {
namespace {

// Kept for the process, like the module names they come from.
PyObject* auth_module = nullptr;
PyObject* own_auth = nullptr;
PyObject* own_settings = nullptr;
PyObject* own_metadata_check = nullptr;  // OneLogin_Saml2_Settings.validate_metadata
PyObject* own_parser = nullptr;          // OneLogin_Saml2_IdPMetadataParser
// Its class dict's get_metadata and parse_remote (classmethod objects).
PyObject* own_get_metadata = nullptr;
PyObject* own_parse_remote = nullptr;
PyObject* own_element_class = nullptr;  // OneLogin_Saml2_XML._element_class

// cls.__dict__[name], or an empty Ref.
vs::Ref class_member(PyObject* cls, PyObject* name) {
  vs::Ref members = vs::getattr(cls, names::dunder_dict);
  return vs::getitem_opt(members.get(), name);
}

// What the "toolkit_caches" key said at the last look.
enum class CachesSetting { unseen, on, off, invalid };
CachesSetting caches_setting_seen = CachesSetting::unseen;

// The mapping under `key` of a dict, or an empty Ref (wrong shapes are
// reported by the loader, not here).
vs::Ref dict_under(PyObject* mapping, PyObject* key) {
  if (!mapping || !PyDict_Check(mapping)) return vs::Ref();
  vs::Ref value = vs::dict_get(mapping, key);
  return value && PyDict_Check(value.get()) ? value : vs::Ref();
}

}  // namespace

vs::Ref last_response_document(PyObject* saml_auth) {
  if (!own_auth || !own_element_class || reinterpret_cast<PyObject*>(Py_TYPE(saml_auth)) != own_auth)
    return vs::Ref();
  vs::Ref document = vs::getattr_opt(saml_auth, names::_last_response);
  // The toolkit's parser makes its own subclass of the element class.
  if (!document || !PyObject_TypeCheck(document.get(), reinterpret_cast<PyTypeObject*>(own_element_class)))
    return vs::Ref();
  return document;
}

void follow_caches_setting(PyObject* auth_settings) {
  vs::Ref policies = dict_under(auth_settings, names::authentication_policies);
  vs::Ref saml_settings = dict_under(policies.get(), names::saml);
  vs::Ref value = saml_settings ? vs::dict_get(saml_settings.get(), names::toolkit_caches) : vs::Ref();
  CachesSetting setting = !value || value.get() == Py_None || value.get() == Py_True ? CachesSetting::on
                          : value.get() == Py_False                                 ? CachesSetting::off
                                                                                     : CachesSetting::invalid;
  if (setting == caches_setting_seen) return;
  vs::Ref module = siblings::get(siblings::toolkit_caches);
  vs::call_method(module.get(), names::follow_quietly, {saml_settings ? saml_settings.get() : Py_None});
  caches_setting_seen = setting;
}

void remember_own_classes() {
  if (auth_module) return;
  vs::Ref module = vs::check(PyImport_ImportModule("onelogin.saml2.auth"));
  vs::Ref auth = vs::getattr(module.get(), names::OneLogin_Saml2_Auth);
  vs::Ref settings = vs::getattr(module.get(), names::OneLogin_Saml2_Settings);
  vs::Ref check = vs::getattr(settings.get(), names::validate_metadata);
  vs::Ref parser_module = vs::check(PyImport_ImportModule("onelogin.saml2.idp_metadata_parser"));
  vs::Ref parser = vs::getattr(parser_module.get(), names::OneLogin_Saml2_IdPMetadataParser);
  own_get_metadata = class_member(parser.get(), names::get_metadata).release();
  own_parse_remote = class_member(parser.get(), names::parse_remote).release();
  vs::Ref xml_module = vs::check(PyImport_ImportModule("onelogin.saml2.xml_utils"));
  vs::Ref xml_class = vs::getattr(xml_module.get(), names::OneLogin_Saml2_XML);
  vs::Ref element_class = vs::getattr(xml_class.get(), names::_element_class);
  own_element_class = PyType_Check(element_class.get()) ? element_class.release() : nullptr;
  own_parser = parser.release();
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

bool fetches_as_its_own(PyObject* parser_class) {
  if (!own_parser || parser_class != own_parser) return false;
  vs::Ref get_metadata = class_member(parser_class, names::get_metadata);
  vs::Ref parse_remote = class_member(parser_class, names::parse_remote);
  return get_metadata.get() == own_get_metadata && parse_remote.get() == own_parse_remote;
}

bool is_own_metadata_check(PyObject* check, PyObject* settings_obj) {
  return own_metadata_check && Py_TYPE(settings_obj) == reinterpret_cast<PyTypeObject*>(own_settings) &&
         PyMethod_Check(check) && PyMethod_GET_FUNCTION(check) == own_metadata_check &&
         PyMethod_GET_SELF(check) == settings_obj;
}

}  // namespace toolkit
