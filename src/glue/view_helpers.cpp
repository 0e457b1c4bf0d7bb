#include "view_helpers.hpp"

#include <string>

#include "config_errors.hpp"
#include "siblings.hpp"
#include "toolkit.hpp"

namespace view_helpers {
namespace {

using vs::call;
using vs::call_method;
using vs::getattr;
using vs::getitem;

// The shared-mapping tracker of one callback request over the host's client
// `mc`. It keeps no records of its own (they live in memcache, shared by
// every process), so each request gets a fresh one.
Ref mapping_tracker(const Args& a, PyObject* config_storage, PyObject* mc) {
  Ref tracker_class = a.global(names::SamlDuplicateResponsesTrackerInMemcache);
  Ref mc_root_key = getattr(config_storage, names::mc_root_key);
  Ref sleep_interval = getattr(getattr(config_storage, names::process_registry).get(), names::memcache_lock_sleep_interval);
  Ref proc_uid = getattr(getattr(config_storage, names::process_registry).get(), names::my_proc_uid);
  return call(tracker_class.get(), {mc, mc_root_key.get(), sleep_interval.get(), proc_uid.get()});
}

// A client that does not wait for replies (pymemcache's default_noreply,
// which its HashClient keeps in default_kwargs) answers every add with true:
// the lock entry and the atomic add of the replay stores would then let
// replays through. Every login with it fails, saying why.
void refuse_client_without_replies(const Args& a, PyObject* mc) {
  Ref noreply = vs::getattr_opt(mc, names::default_noreply);
  if (!noreply) {
    Ref kwargs = vs::getattr_opt(mc, names::default_kwargs);
    if (kwargs && PyDict_Check(kwargs.get())) noreply = vs::dict_get(kwargs.get(), names::default_noreply);
  }
  if (!noreply || !vs::truthy(noreply.get())) return;
  Ref message = vs::concat({config_errors::prefix,
                            vs::ustr("the memcache client does not wait for replies (default_noreply=True), so its "
                                     "add() always reports success and the replay store would let replays through: "
                                     "create it with default_noreply=False")
                                .get()});
  call_method(a.global(names::log).get(), names::error, {message.get()});
  vs::raise_new(PyExc_ValueError, message.get());
}

}  // namespace

Ref audit_module() { return siblings::get(siblings::audit); }

void audit(PyObject* function, std::initializer_list<PyObject*> args, bool handled) {
  try {
    call(getattr(audit_module().get(), function).get(), args);
  } catch (const vs::PyError&) {
    vs::Caught e;
    if (!handled) e.reraise();
  }
}

// `return login_failed(idp_id, desc)` of a view, through the module name.
Ref call_login_failed(const Args& a, PyObject* idp_id, PyObject* desc) {
  return call(a.global(names::login_failed).get(), {idp_id, desc});
}

// request.registry.settings[key], read afresh on every use.
Ref registry_setting(PyObject* request, PyObject* key) {
  Ref registry = getattr(request, names::registry);
  Ref settings = getattr(registry.get(), names::settings);
  return getitem(settings.get(), key);
}

Ref site_auth_settings(PyObject* request) {
  Ref auth_settings = registry_setting(request, names::auth_settings);
  toolkit::follow_caches_setting(auth_settings.get());
  return auth_settings;
}

// request.matchdict["idp_id"]: the IdP named by the matched route.
Ref route_idp_id(PyObject* request) { return getitem(getattr(request, names::matchdict).get(), names::idp_id); }

// SamlAuthLoader(auth_settings).load_by_id(idp_id); its ValueError for an
// unknown or disabled IdP passes out to the view's guard.
Ref load_idp_config(const Args& a, PyObject* auth_settings, PyObject* idp_id) {
  Ref loader = call(a.global(names::SamlAuthLoader).get(), {auth_settings});
  return call_method(loader.get(), names::load_by_id, {idp_id});
}

bool is_federation(PyObject* idp_config) {
  return PyDict_Check(idp_config) ? static_cast<bool>(vs::dict_get(idp_config, names::federation))
                                  : static_cast<bool>(vs::getitem_opt(idp_config, names::federation));
}

Ref federation_entry(PyObject* request, PyObject* idp_id, Ref idp_config, const char* how) {
  if (!is_federation(idp_config.get())) return idp_config;
  Ref module = siblings::get(siblings::federation);
  Ref derived = call(getattr(module.get(), names::entity_config).get(),
                     {idp_id, idp_config.get(), request, vs::ustr(how).get()});
  return derived.get() == Py_None ? idp_config : derived;
}

Ref federation_entry_named(PyObject* idp_id, Ref idp_config, PyObject* idp_name) {
  if (!is_federation(idp_config.get())) return idp_config;
  if (!idp_name || idp_name == Py_None) vs::raise_new(PyExc_ValueError, "IdP is not found: no login of this session");
  Ref module = siblings::get(siblings::federation);
  return call(getattr(module.get(), names::entity_named).get(), {idp_id, idp_config.get(), idp_name});
}

namespace {
// A login start without request.GET["entityID"].
bool names_no_idp(PyObject* request) {
  return call_method(getattr(request, names::GET).get(), names::get, {names::entityID}).get() == Py_None;
}
}  // namespace

RoutedIdp load_routed_idp(const Args& a, PyObject* request, const char* federation_how) {
  RoutedIdp idp;
  idp.auth_settings = site_auth_settings(request);
  idp.idp_id = route_idp_id(request);
  idp.failed = login_failed_on_value_error(
      a, idp.idp_id.get(),
      [&] {
        idp.idp_config = load_idp_config(a, idp.auth_settings.get(), idp.idp_id.get());
        if (!federation_how || !is_federation(idp.idp_config.get())) return;
        if (std::string(federation_how) == "login" && names_no_idp(request)) {
          idp.choose_idp = true;
          return;
        }
        idp.idp_config = federation_entry(request, idp.idp_id.get(), idp.idp_config, federation_how);
      },
      &idp.error);
  return idp;
}

// The "replay_store" value of the SAML settings, as the replay store
// module reads it; an empty Ref when the key is absent: the view then works
// as it did before the key existed, without that module.
Ref configured_replay_store(PyObject* auth_settings) {
  Ref policies = vs::getitem_opt(auth_settings, names::authentication_policies);
  Ref saml_settings = policies ? vs::getitem_opt(policies.get(), names::saml) : Ref();
  if (!saml_settings || !vs::getitem_opt(saml_settings.get(), names::replay_store)) return Ref();
  Ref name = call_method(siblings::get(siblings::replay_store).get(), names::replay_store_name, {saml_settings.get()});
  if (!PyUnicode_Check(name.get())) {
    vs::raise_format(PyExc_TypeError, "replay_store_name() must return str, not %.100s", Py_TYPE(name.get())->tp_name);
  }
  return name;
}

// The replay tracker of one callback request: the in-memory tracker (the
// one shared object of the process) without memcache; with it, what
// `store_name` chooses (the configured replay store, empty when the
// settings name none: the shared mapping).
Ref choose_responses_tracker(const Args& a, PyObject* config_storage, const Ref& store_name) {
  Ref memcache_available = getattr(config_storage, names::memcache_available);
  if (!vs::truthy(memcache_available.get())) return a.global(names::responses_tracker_mem);
  // Read once: the client that is checked is the one every store is given.
  Ref mc = getattr(config_storage, names::mc);
  refuse_client_without_replies(a, mc.get());
  bool keys = store_name && PyUnicode_CompareWithASCIIString(store_name.get(), "keys") == 0;
  bool migrate = store_name && PyUnicode_CompareWithASCIIString(store_name.get(), "migrate") == 0;
  if (!keys && !migrate) return mapping_tracker(a, config_storage, mc.get());
  Ref mapping = migrate ? mapping_tracker(a, config_storage, mc.get()) : Ref();
  Ref replay_store = siblings::get(siblings::replay_store);
  Ref mc_root_key = getattr(config_storage, names::mc_root_key);
  Ref key_store = call(getattr(replay_store.get(), names::SamlReplayKeyStore).get(), {mc.get(), mc_root_key.get()});
  if (keys) return key_store;
  return call(getattr(replay_store.get(), names::SamlReplayMigratingStore).get(), {mapping.get(), key_store.get()});
}

}  // namespace view_helpers
