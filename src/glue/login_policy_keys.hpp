// The keys of an IdP entry that turn on `velmora_saml.login_policy`: the
// authentication context a login asks for and checks, a fresh sign-in
// (ForceAuthn, AuthnInstant), and the end of the session. The core and the
// views import that module only for an entry that holds one of them, so
// without the keys everything runs as before.
#pragma once

#include "names.hpp"
#include "../pyobj/pyobj.hpp"

namespace login_policy_keys {

// Whether the entry holds one of "authn_contexts", "default_authn_context",
// "allow_force_authn", "max_authn_age", "session_lifetime" (null included).
bool named(PyObject* idp_config);

// velmora_saml.login_policy, imported at its first use; sys.modules keeps it.
vs::Ref module();

// What a login start asks of the IdP, as login_policy.login_request gives
// it: the AuthnContextClassRef values (None: as the toolkit's settings say)
// and whether ForceAuthn is asked.
struct Asked {
  vs::Ref class_refs = vs::none();
  bool force_authn = false;
  bool remembered() const { return class_refs.get() != Py_None || force_authn; }
};
Asked login_request(PyObject* request, PyObject* idp_config);

// The completed settings mapping as a login that asks for `class_refs`
// needs it: a copy whose security section asks for them, compared exactly.
vs::Ref settings_asking(PyObject* saml_settings, PyObject* class_refs);

}  // namespace login_policy_keys
