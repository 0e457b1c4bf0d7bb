// The SP metadata document of an entry whose IdP has had no usable metadata
// yet: the SP's side does not depend on it, and it is what the IdP's
// operator needs to set up the trust with the site.
#include "idp_metadata.hpp"

namespace idp_metadata {

namespace {
const vs::KwNames sp_only_keyword{&names::sp_validation_only};
}  // namespace

// sp_metadata_without_idp(idp_config, metadata_class=None): metadata_class
// replaces the toolkit's OneLogin_Saml2_Metadata for this document (what
// it adds is signed with the rest when the settings sign the metadata).
Ref sp_metadata_without_idp(const Args& a) {
  Ref settings = vs::getitem(a[0], names::settings);
  // The toolkit writes its defaults into the settings it is given.
  Ref copy_module = vs::check(PyImport_ImportModule("copy"));
  Ref own = vs::call_method(copy_module.get(), names::deepcopy, {settings.get()});
  Ref settings_module = vs::check(PyImport_ImportModule("onelogin.saml2.settings"));
  Ref settings_class = vs::getattr(settings_module.get(), names::OneLogin_Saml2_Settings);
  Ref settings_obj = vs::call_kw(settings_class.get(), {own.get(), Py_True}, sp_only_keyword);
  if (a[1] != Py_None) vs::setattr(settings_obj.get(), names::metadata_class, a[1]);
  Ref metadata = vs::call_method(settings_obj.get(), names::get_sp_metadata);
  Ref errors = vs::call_method(settings_obj.get(), names::validate_metadata, {metadata.get()});
  if (vs::truthy(errors.get())) vs::raise_value(vs::call(PyExc_ValueError, {errors.get()}));
  return metadata;
}

}  // namespace idp_metadata
