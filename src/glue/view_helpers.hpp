// What the views of `velmora_saml.views` and `velmora_saml.logout` share:
// the IdP a matched route names, the login-failed redirect of a caught
// ValueError, and the replay tracker of a request. Compiled into both
// modules; the module-level names it reads (`login_failed`,
// `SamlAuthLoader`, the trackers) are bound in each.
#pragma once

#include "names.hpp"
#include "../pyobj/pyobj.hpp"

namespace view_helpers {

using vs::Args;
using vs::Ref;

// `return login_failed(idp_id, desc)` of a view, through the module name.
Ref call_login_failed(const Args& a, PyObject* idp_id, PyObject* desc);

// `try: body()` / `except ValueError as e: return login_failed(idp_id, e)`:
// the login-failed redirect when `body` raised a ValueError, else an empty
// Ref (anything else goes on). `caught`, when given, takes the ValueError
// (for the audit record).
template <class Body>
Ref login_failed_on_value_error(const Args& a, PyObject* idp_id, Body body, Ref* caught = nullptr) {
  try {
    body();
    return Ref();
  } catch (const vs::PyError&) {
    vs::Caught e(PyExc_ValueError);
    if (caught) *caught = Ref::borrow(e.get());
    return call_login_failed(a, idp_id, e.get());
  }
}

// velmora_saml.audit, imported at its first use; sys.modules keeps it.
Ref audit_module();
// audit.<function>(*args) for the outcome of a view. While an exception is
// handled (`handled`), a failure of the record itself is dropped: the view's
// own exception is what the host must get.
void audit(PyObject* function, std::initializer_list<PyObject*> args, bool handled = false);

// request.registry.settings[key], read afresh on every use.
Ref registry_setting(PyObject* request, PyObject* key);
// request.registry.settings["auth_settings"], as every view starts: the
// toolkit's caches are put in or taken out as its SAML settings say.
Ref site_auth_settings(PyObject* request);
// request.matchdict["idp_id"]: the IdP named by the matched route.
Ref route_idp_id(PyObject* request);
// SamlAuthLoader(auth_settings).load_by_id(idp_id); its ValueError for an
// unknown or disabled IdP passes out to the view's guard.
Ref load_idp_config(const Args& a, PyObject* auth_settings, PyObject* idp_id);

// What both login views start with: the IdP the matched route names and its
// configuration, or in `failed` the login-failed redirect for the loader's
// ValueError (an unknown or disabled IdP).
struct RoutedIdp {
  Ref auth_settings;
  Ref idp_id;
  Ref idp_config;
  Ref failed;
  Ref error;  // the loader's ValueError when `failed` is set
  // A federation's login start that names no IdP (no entityID): the person
  // chooses one first; idp_config is the federation's entry itself.
  bool choose_idp = false;
};

// `federation_how` ("login", "response"): for an entry with a "federation"
// mapping, the entry made for the IdP of the federation the request names
// (velmora_saml.federation.entity_config), its ValueError ("IdP is not
// found") guarded like the loader's; nullptr takes the entry as it is. A
// "login" without entityID sets choose_idp instead.
RoutedIdp load_routed_idp(const Args& a, PyObject* request, const char* federation_how = nullptr);

// Whether the entry has a "federation" mapping.
bool is_federation(PyObject* idp_config);
// For an entry with a "federation" mapping, the entry made for the IdP of
// the federation the request names `how` (see load_routed_idp); any other
// entry as it is.
Ref federation_entry(PyObject* request, PyObject* idp_id, Ref idp_config, const char* how);
// For an entry with a "federation" mapping, the entry made for its IdP
// whose entry's name is `idp_name` (what the session keeps of its login or
// logout); ValueError "IdP is not found" without one. Any other entry as it is.
Ref federation_entry_named(PyObject* idp_id, Ref idp_config, PyObject* idp_name);

// The "replay_store" value of the SAML settings, as the replay store
// module reads it; an empty Ref when the key is absent: the view then works
// as it did before the key existed, without that module.
Ref configured_replay_store(PyObject* auth_settings);
// The replay tracker of one request: the in-memory tracker (the one shared
// object of the process) without memcache; with it, what `store_name`
// chooses (the configured replay store, empty when the settings name none:
// the shared mapping). ValueError "Invalid SAML configuration: ..." for a
// memcache client that does not wait for replies.
Ref choose_responses_tracker(const Args& a, PyObject* config_storage, const Ref& store_name);

}  // namespace view_helpers
