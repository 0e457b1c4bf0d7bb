// The toolkit's own auth and settings classes, as the module that includes
// this took them at its import. A host or a test may replace the module name
// `OneLogin_Saml2_Auth`, or the settings class the toolkit's auth module
// builds with: the plug-in then hands that class the settings mapping, as
// it always did. Only the toolkit's own pair takes the prepared settings
// object instead, which spares it the settings rebuild and changes nothing
// else (its constructor uses a settings object as it is).
#pragma once

#include "../pyobj/pyobj.hpp"

namespace toolkit {

// Takes onelogin.saml2.auth's OneLogin_Saml2_Auth and the
// OneLogin_Saml2_Settings it builds with; called by the module's exec.
void remember_own_classes();

// Whether `auth_class` is the toolkit's own OneLogin_Saml2_Auth and the
// toolkit still builds its settings with its own class (both by identity,
// looked up now).
bool takes_settings_object(PyObject* auth_class);

// The toolkit's own OneLogin_Saml2_Settings.
PyObject* own_settings_class();

// Whether `parser_class` is the toolkit's own OneLogin_Saml2_IdPMetadataParser
// with its own get_metadata and parse_remote: the plug-in then reads the
// document itself, bounded in size, and hands it to the parser's `parse`,
// which is all the two do besides reading it. Any other parser is called
// as it always was.
bool fetches_as_its_own(PyObject* parser_class);

// Whether `check` is `settings_obj.validate_metadata` as the toolkit's own
// settings class defines it (a bound method of that very object).
bool is_own_metadata_check(PyObject* check, PyObject* settings_obj);

// The document the toolkit's own OneLogin_Saml2_Auth processed last (the
// decrypted one for an encrypted assertion), as get_last_response_xml
// serialises it, to be read without a second parse; an empty Ref for any
// other auth object or when there is none.
vs::Ref last_response_document(PyObject* saml_auth);

// Puts the plug-in's caches into the toolkit, or takes them out, as the
// "toolkit_caches" key of the site's SAML settings (under `auth_settings`)
// says; velmora_saml.toolkit_caches runs only when the key's value differs
// from the one this module saw last, so a request costs a few dict lookups.
void follow_caches_setting(PyObject* auth_settings);

}  // namespace toolkit
