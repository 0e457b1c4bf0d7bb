// The toolkit's settings object of each IdP, made once from its completed
// settings mapping and handed to every auth object made for that IdP.
// Building one validates every section and formats the certificates again:
// most of what a login redirect cost when every request did it.
//
// Why one object can serve every thread: once built, the toolkit only reads
// it. The calls the plug-in makes on auth objects and on the settings object
// (OneLogin_Saml2_Auth's login, logout, process_response, process_slo,
// redirect_to, get_settings, get_slo_response_url,
// validate_request_signature, add_response_signature and the getters of
// the last message; the settings object's get_sp_metadata,
// validate_metadata, is_strict, get_sp_key, get_sp_data, get_idp_data,
// get_security_data; OneLogin_Saml2_Response, OneLogin_Saml2_Logout_Request
// and OneLogin_Saml2_Logout_Response made over it, with is_valid, build,
// get_status, get_xml) read the settings and the sections of the mapping it
// holds (get_sp_data, get_idp_data and get_security_data hand out those
// very dicts; nothing here writes into them). The toolkit's writes are
// elsewhere: set_strict and set_cert_path, which nothing in the plug-in
// calls; the constructor's defaults and formatted certificates, written into
// the sections of the copy an object is built from; and metadata.py's
// builder turning a text "attributeValue" into a list, which a built object
// never meets, since its constructor refuses such settings.
//
// The host may edit the cached mapping in place: the object is built from a
// deep copy taken before the build (a copy of it, which the toolkit then
// completes with its defaults), each use compares the mapping by value with
// that copy, and any difference builds the object again. An entry is a
// tuple made whole before one dict store publishes it, so another thread,
// the metadata refresh thread included, finds the old entry or the new one,
// never a half-built one.
#include "../glue/login_policy_keys.hpp"
#include "../glue/toolkit.hpp"
#include "saml.hpp"
#include "state.hpp"

namespace saml {
namespace {

using vs::Caught;



// `a == b`, false when the comparison itself fails (then it is no proof
// that nothing changed).
bool same_value(PyObject* a, PyObject* b) {
  try {
    return vs::compare(a, b, Py_EQ);
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
    return false;
  }
}

// copy.deepcopy(mapping), or an empty Ref when it cannot be copied.
Ref snapshot_of(PyObject* mapping) {
  try {
    Ref copy_module = vs::check(PyImport_ImportModule("copy"));
    return vs::call_method(copy_module.get(), names::deepcopy, {mapping});
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
    return Ref();
  }
}

// Whether `saml_settings` is what SamlIDPConfig.cached_saml_settings holds
// under `idp_name` (`owner` is the class or an instance).
bool is_cached(PyObject* owner, PyObject* idp_name, PyObject* saml_settings) {
  Ref cache = vs::getattr(owner, names::cached_saml_settings);
  Ref cached = PyDict_CheckExact(cache.get()) ? vs::dict_get(cache.get(), idp_name)
                                               : vs::getitem_opt(cache.get(), idp_name);
  return cached.get() == saml_settings;
}

// Entries whose name the settings cache no longer holds (the entries made
// for the IdPs of a federation come and go) are dropped once they
// outnumber the cache's: the objects do not pile up.
void drop_unused_entries(PyObject* owner) {
  Ref cache = vs::getattr(owner, names::cached_saml_settings);
  Py_ssize_t cached = vs::size(cache.get());
  if (PyDict_Size(module_state.prepared) <= 2 * cached + 64) return;
  Ref idp_names = vs::check(PyDict_Keys(module_state.prepared));
  Ref iterator = vs::iterate(idp_names.get());
  while (Ref idp_name = vs::next(iterator.get()))
    if (!vs::contains(cache.get(), idp_name.get()))
      vs::call_method(module_state.prepared, names::pop, {idp_name.get(), Py_None});
}

// The settings object for the completed settings of the IdP, or an empty
// Ref when the auth object is to be given the mapping (a mapping the
// toolkit would not take as it is, an entry without a name).
Ref settings_object(PyObject* owner, PyObject* idp_config, PyObject* saml_settings) {
  if (!PyDict_CheckExact(saml_settings)) return Ref();
  Ref idp_name = vs::getitem_opt(idp_config, names::idp_name);
  if (!idp_name) return Ref();
  Ref entry = vs::dict_get(module_state.prepared, idp_name.get());
  if (entry && vs::item(entry.get(), 0).get() == saml_settings) {
    Ref snapshot = vs::item(entry.get(), 1);
    if (same_value(snapshot.get(), saml_settings)) return vs::item(entry.get(), 2);
  }
  // Only the cached mapping gets an entry: another (the loser of two first
  // assemblies, a replaced get_idp_settings) serves its one request. So
  // does a mapping whose copy does not equal it (values without a
  // comparison), which could never be reused. The toolkit's constructor
  // raises its OneLogin_Saml2_Error for invalid settings, as the auth
  // object's would.
  if (!is_cached(owner, idp_name.get(), saml_settings)) return vs::call(toolkit::own_settings_class(), {saml_settings});
  // The copy is taken first and the object built from a copy of it, so the
  // object is always what the copy says, whatever the host changes in the
  // mapping meanwhile (the toolkit writes its defaults into what it is
  // given: hence the second copy). Any difference with the mapping the next
  // request sees builds the object again.
  Ref snapshot = snapshot_of(saml_settings);
  Ref built_from = snapshot ? snapshot_of(snapshot.get()) : Ref();
  if (!built_from || !same_value(snapshot.get(), saml_settings))
    return vs::call(toolkit::own_settings_class(), {saml_settings});
  Ref built = vs::call(toolkit::own_settings_class(), {built_from.get()});
  Ref made = vs::tuple_of({saml_settings, snapshot.get(), built.get()});
  vs::setitem(module_state.prepared, idp_name.get(), made.get());
  drop_unused_entries(owner);
  return built;
}

// Whether `settings_obj` is the one the store keeps for the IdP now.
bool is_prepared(PyObject* idp_name, PyObject* settings_obj) {
  Ref entry = vs::dict_get(module_state.prepared, idp_name);
  return entry && vs::item(entry.get(), 2).get() == settings_obj;
}

}  // namespace

Ref new_auth_asking(const Args& a, PyObject* owner, PyObject* idp_config, PyObject* request_data,
                    PyObject* saml_settings, PyObject* class_refs) {
  Ref auth_class = a.global(names::OneLogin_Saml2_Auth);
  Ref idp_name = vs::getitem_opt(idp_config, names::idp_name);
  Ref base = idp_name && toolkit::takes_settings_object(auth_class.get())
                 ? settings_object(owner, idp_config, saml_settings)
                 : Ref();
  // Another class, or settings the store does not keep: the mapping, as
  // the plug-in always hands such a class.
  if (!base || !is_prepared(idp_name.get(), base.get()))
    return vs::call(auth_class.get(), {request_data, login_policy_keys::settings_asking(saml_settings, class_refs).get()});
  Ref key = vs::tuple_of({idp_name.get(), vs::check(PySequence_Tuple(class_refs)).get()});
  Ref entry = vs::dict_get(module_state.asking, key.get());
  if (entry && vs::item(entry.get(), 0).get() == base.get())
    return vs::call(auth_class.get(), {request_data, vs::item(entry.get(), 1).get()});
  // Made from the mapping the IdP's own object was made from (the store
  // just compared them), and made again once that object is replaced.
  Ref built = vs::call(toolkit::own_settings_class(), {login_policy_keys::settings_asking(saml_settings, class_refs).get()});
  // Entries of IdPs gone or rebuilt are dropped once they outnumber the live ones.
  if (PyDict_Size(module_state.asking) > 4 * PyDict_Size(module_state.prepared) + 64) PyDict_Clear(module_state.asking);
  vs::setitem(module_state.asking, key.get(), vs::tuple_of({base.get(), built.get()}).get());
  return vs::call(auth_class.get(), {request_data, built.get()});
}

Ref shared_settings_name(PyObject* settings_obj) {
  // Only identity tests while walking: the dict and its tuples are the
  // C++'s own, and nothing here runs Python code.
  Ref found;
  vs::for_each_item(module_state.prepared, [&](const Ref& idp_name, const Ref& entry) {
    if (!found && vs::item(entry.get(), 2).get() == settings_obj) found = idp_name;
  });
  return found;
}

void make_settings_store() {
  if (!module_state.prepared) module_state.prepared = vs::new_dict().release();
  if (!module_state.asking) module_state.asking = vs::new_dict().release();
}

Ref new_auth(const Args& a, PyObject* owner, PyObject* idp_config, PyObject* request_data, PyObject* saml_settings) {
  Ref auth_class = a.global(names::OneLogin_Saml2_Auth);
  Ref settings;
  if (toolkit::takes_settings_object(auth_class.get())) settings = settings_object(owner, idp_config, saml_settings);
  return vs::call(auth_class.get(), {request_data, settings ? settings.get() : saml_settings});
}

}  // namespace saml
