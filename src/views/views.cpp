// Module `velmora_saml.views`: the Pyramid view callables and login_failed.
#include "../common/pyobj.hpp"

#include <string>

namespace views {
namespace {

using vs::Args;
using vs::call;
using vs::call_method;
using vs::fetch_exception;
using vs::getattr;
using vs::getitem;
using vs::intern;
using vs::Ref;
using vs::ustr;

constexpr const char* kFile = "velmora_saml/views.cpp";

inline Ref module_name(const Args& a, const char* name) { return vs::global(a.globals, intern(name)); }

// The caught exception when it is a ValueError; anything else goes on.
Ref catch_value_error() {
  Ref caught = fetch_exception();
  if (!vs::exception_matches(caught.get(), PyExc_ValueError)) vs::reraise(caught);
  return caught;
}

// Percent-encodes every character but unreserved ones, as
// urllib.parse.quote(value, safe="") does (UTF-8 for non-ASCII).
Ref quote_all(PyObject* value) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (!utf8) throw vs::PyError{};
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(static_cast<size_t>(size) * 3);
  for (Py_ssize_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return vs::check(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

// login_failed(idp_id, desc)
Ref login_failed(const Args& a) {
  Ref prefix = module_name(a, "LOGIN_FAILED_URL");
  Ref id_text = vs::text(a[0]);
  Ref desc_text = vs::text(a[1]);
  Ref location = vs::concat({prefix.get(), ustr("?idp_id=").get(), quote_all(id_text.get()).get(),
                             ustr("&error_description=").get(), quote_all(desc_text.get()).get()});
  Ref found = module_name(a, "HTTPFound");
  return call(found.get(), {location.get()});
}

Ref call_login_failed(const Args& a, PyObject* idp_id, PyObject* desc) {
  Ref fn = module_name(a, "login_failed");
  return call(fn.get(), {idp_id, desc});
}

// request.registry.settings[key], read afresh on every use.
Ref registry_setting(PyObject* request, PyObject* key) {
  static PyObject* const k_registry = intern("registry");
  static PyObject* const k_settings = intern("settings");
  Ref registry = getattr(request, k_registry);
  Ref settings = getattr(registry.get(), k_settings);
  return getitem(settings.get(), key);
}

// request.matchdict["idp_id"]: the IdP named by the matched route.
Ref route_idp_id(PyObject* request) {
  static PyObject* const k_matchdict = intern("matchdict");
  static PyObject* const k_idp_id = intern("idp_id");
  return getitem(getattr(request, k_matchdict).get(), k_idp_id);
}

// SamlAuthLoader(auth_settings).load_by_id(idp_id); its ValueError for an
// unknown or disabled IdP passes out to the view's guard.
Ref load_idp_config(const Args& a, PyObject* auth_settings, PyObject* idp_id) {
  static PyObject* const k_loader_class = intern("SamlAuthLoader");
  static PyObject* const k_load_by_id = intern("load_by_id");
  Ref loader_class = vs::global(a.globals, k_loader_class);
  Ref loader = call(loader_class.get(), {auth_settings});
  return call_method(loader.get(), k_load_by_id, {idp_id});
}

// `except ValueError as e: return login_failed(idp_id, e)`
Ref login_failed_for_caught(const Args& a, PyObject* idp_id) {
  Ref e = catch_value_error();
  vs::HandlingException handling(e.get());
  return call_login_failed(a, idp_id, e.get());
}

// The callback meets some faults of the IdP's configuration only after the
// browser is back from the IdP: a key that SamlIDPConfig needs (KeyError),
// settings the toolkit refuses, a saml_auth_regex that does not compile. The
// user then gets the login-failed page with "Invalid SAML configuration: ...",
// as the SSO view gives for its own configuration faults, instead of a server
// error.
struct ConfigurationFault {
  const char* module;  // where the exception class lives, imported only after a failure
  const char* name;
  const char* about;  // put before the exception's own text, or nullptr
};

// `except ValueError as e: return login_failed(idp_id, e)`, and the same for
// the given configuration faults, reported as "Invalid SAML configuration: ".
// Anything else goes on.
Ref login_failed_for_configuration_fault(const Args& a, PyObject* idp_id,
                                         std::initializer_list<ConfigurationFault> faults) {
  static PyObject* const k_prefix = intern("Invalid SAML configuration: ");
  Ref e = fetch_exception();
  vs::HandlingException handling(e.get());
  if (vs::exception_matches(e.get(), PyExc_ValueError)) return call_login_failed(a, idp_id, e.get());
  for (const ConfigurationFault& fault : faults) {
    Ref module = vs::check(PyImport_ImportModule(fault.module));
    Ref type = getattr(module.get(), intern(fault.name));
    if (!vs::exception_matches(e.get(), type.get())) continue;
    Ref own = vs::text(e.get());
    Ref message = fault.about ? vs::concat({k_prefix, intern(fault.about), own.get()}) : vs::concat({k_prefix, own.get()});
    Ref error = call(PyExc_ValueError, {message.get()});
    PyException_SetContext(error.get(), Py_NewRef(e.get()));
    return call_login_failed(a, idp_id, error.get());
  }
  vs::reraise(e);
}

// saml_sso_view(context, request)
Ref saml_sso_view(const Args& a) {
  PyObject* request = a[1];
  static PyObject* const k_auth_settings = intern("auth_settings");
  static PyObject* const k_params = intern("params");
  static PyObject* const k_get = intern("get");
  static PyObject* const k_return_to = intern("return_to");
  static PyObject* const k_root = intern("/");
  static PyObject* const k_generate_login_url = intern("generate_login_url");
  Ref auth_settings = registry_setting(request, k_auth_settings);
  Ref idp_id = route_idp_id(request);
  Ref idp_config;
  try {
    idp_config = load_idp_config(a, auth_settings.get(), idp_id.get());
  } catch (const vs::PyError&) {
    return login_failed_for_caught(a, idp_id.get());
  }
  Ref params = getattr(request, k_params);
  Ref return_to_url = call_method(params.get(), k_get, {k_return_to, k_root});
  try {
    Ref idp_config_class = module_name(a, "SamlIDPConfig");
    Ref login_url = call_method(idp_config_class.get(), k_generate_login_url,
                                {idp_config.get(), request, return_to_url.get()});
    Ref found = module_name(a, "HTTPFound");
    return call(found.get(), {login_url.get()});
  } catch (const vs::PyError&) {
    return login_failed_for_caught(a, idp_id.get());
  }
}

// velmora_saml.replay_store, imported at its first use; sys.modules keeps it.
Ref replay_store_module() {
  static PyObject* const k_name = intern("velmora_saml.replay_store");
  PyObject* module = PyImport_GetModule(k_name);
  if (module) return Ref::steal(module);
  if (PyErr_Occurred()) throw vs::PyError{};
  return vs::check(PyImport_Import(k_name));
}

// The "replay_store" value of the SAML settings, as the replay store
// module reads it; an empty Ref when the key is absent: the view then works
// as it did before the key existed, without that module.
Ref configured_replay_store(PyObject* auth_settings) {
  static PyObject* const k_policies = intern("authentication_policies");
  static PyObject* const k_saml = intern("saml");
  static PyObject* const k_replay_store = intern("replay_store");
  static PyObject* const k_replay_store_name = intern("replay_store_name");
  Ref policies = vs::getitem_opt(auth_settings, k_policies);
  Ref saml_settings = policies ? vs::getitem_opt(policies.get(), k_saml) : Ref();
  if (!saml_settings || !vs::getitem_opt(saml_settings.get(), k_replay_store)) return Ref();
  Ref name = call_method(replay_store_module().get(), k_replay_store_name, {saml_settings.get()});
  if (!PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "replay_store_name() must return str, not %.100s", Py_TYPE(name.get())->tp_name);
    throw vs::PyError{};
  }
  return name;
}

// The shared-mapping tracker of one callback request. It keeps no records
// of its own (they live in memcache, shared by every process), so each
// request gets a fresh one.
Ref mapping_tracker(const Args& a, PyObject* config_storage) {
  static PyObject* const k_tracker_class = intern("SamlDuplicateResponsesTrackerInMemcache");
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_mc_root_key = intern("mc_root_key");
  static PyObject* const k_process_registry = intern("process_registry");
  static PyObject* const k_sleep_interval = intern("memcache_lock_sleep_interval");
  static PyObject* const k_my_proc_uid = intern("my_proc_uid");
  Ref tracker_class = vs::global(a.globals, k_tracker_class);
  Ref mc = getattr(config_storage, k_mc);
  Ref mc_root_key = getattr(config_storage, k_mc_root_key);
  Ref sleep_interval = getattr(getattr(config_storage, k_process_registry).get(), k_sleep_interval);
  Ref proc_uid = getattr(getattr(config_storage, k_process_registry).get(), k_my_proc_uid);
  return call(tracker_class.get(), {mc.get(), mc_root_key.get(), sleep_interval.get(), proc_uid.get()});
}

// The replay tracker of one callback request: the in-memory tracker (the
// one shared object of the process) without memcache; with it, what
// `store_name` chooses (the configured replay store, empty when the
// settings name none: the shared mapping).
Ref choose_responses_tracker(const Args& a, PyObject* config_storage, const Ref& store_name) {
  static PyObject* const k_memcache_available = intern("memcache_available");
  static PyObject* const k_tracker_mem = intern("responses_tracker_mem");
  static PyObject* const k_mc = intern("mc");
  static PyObject* const k_mc_root_key = intern("mc_root_key");
  static PyObject* const k_key_store_class = intern("SamlReplayKeyStore");
  static PyObject* const k_migrating_store_class = intern("SamlReplayMigratingStore");
  Ref memcache_available = getattr(config_storage, k_memcache_available);
  if (!vs::truthy(memcache_available.get())) return vs::global(a.globals, k_tracker_mem);
  bool keys = store_name && PyUnicode_CompareWithASCIIString(store_name.get(), "keys") == 0;
  bool migrate = store_name && PyUnicode_CompareWithASCIIString(store_name.get(), "migrate") == 0;
  if (!keys && !migrate) return mapping_tracker(a, config_storage);
  Ref mapping = migrate ? mapping_tracker(a, config_storage) : Ref();
  Ref replay_store = replay_store_module();
  Ref mc = getattr(config_storage, k_mc);
  Ref mc_root_key = getattr(config_storage, k_mc_root_key);
  Ref key_store = call(getattr(replay_store.get(), k_key_store_class).get(), {mc.get(), mc_root_key.get()});
  if (keys) return key_store;
  return call(getattr(replay_store.get(), k_migrating_store_class).get(), {mapping.get(), key_store.get()});
}

// saml_callback_view(context, request)
Ref saml_callback_view(const Args& a) {
  static PyObject* const k_vlm_settings = intern("vlm_settings");
  static PyObject* const k_config_storage = intern("config_storage");
  static PyObject* const k_auth_settings = intern("auth_settings");
  static PyObject* const k_idp_config_class = intern("SamlIDPConfig");
  static PyObject* const k_users = intern("users");
  static PyObject* const k_process_saml_response = intern("process_saml_response");
  static PyObject* const k_get_user_id = intern("get_user_id");
  static PyObject* const k_get_sso_user_id = intern("get_sso_user_id");
  static PyObject* const k_current_thread_log_context = intern("current_thread_log_context");
  static PyObject* const k_sso_user_id = intern("sso_user_id");
  static PyObject* const k_log = intern("log");
  static PyObject* const k_debug = intern("debug");
  static PyObject* const k_debug_prefix = intern("SAML authentication - user: ");
  static PyObject* const k_http_found = intern("HTTPFound");
  static PyObject* const k_get_return_to_url = intern("get_return_to_url");
  static PyObject* const k_session = intern("session");
  static PyObject* const k_invalidate = intern("invalidate");
  static PyObject* const k_load_sso_user_to_session = intern("load_sso_user_to_session");
  static PyObject* const k_remember = intern("remember");
  static PyObject* const k_headerlist = intern("headerlist");
  static PyObject* const k_extend = intern("extend");

  PyObject* request = a[1];
  Ref vlm_settings = registry_setting(request, k_vlm_settings);
  Ref config_storage = getitem(vlm_settings.get(), k_config_storage);
  Ref auth_settings = registry_setting(request, k_auth_settings);
  Ref idp_id = route_idp_id(request);

  Ref idp_config;
  try {
    idp_config = load_idp_config(a, auth_settings.get(), idp_id.get());
  } catch (const vs::PyError&) {
    return login_failed_for_caught(a, idp_id.get());
  }

  Ref store_name;
  try {
    store_name = configured_replay_store(auth_settings.get());
  } catch (const vs::PyError&) {
    return login_failed_for_caught(a, idp_id.get());
  }
  Ref responses_tracker = choose_responses_tracker(a, config_storage.get(), store_name);
  Ref idp_config_class = vs::global(a.globals, k_idp_config_class);
  Ref users = getattr(config_storage.get(), k_users);
  Ref idp;
  try {
    idp = call(idp_config_class.get(), {idp_config.get(), request, users.get(), responses_tracker.get()});
  } catch (const vs::PyError&) {
    return login_failed_for_configuration_fault(
        a, idp_id.get(),
        {{"builtins", "KeyError", nullptr}, {"onelogin.saml2.errors", "OneLogin_Saml2_Error", nullptr}});
  }

  try {
    call_method(idp.get(), k_process_saml_response);
  } catch (const vs::PyError&) {
    return login_failed_for_caught(a, idp_id.get());
  }

  Ref user_id;
  Ref sso_user_id;
  try {
    user_id = call_method(idp.get(), k_get_user_id);
    sso_user_id = call_method(idp.get(), k_get_sso_user_id);
    Ref log_context = call(vs::global(a.globals, k_current_thread_log_context).get(), {});
    vs::setitem(log_context.get(), k_sso_user_id, sso_user_id.get());
    Ref log = vs::global(a.globals, k_log);
    Ref message = vs::concat({k_debug_prefix, vs::text(sso_user_id.get()).get()});
    call_method(log.get(), k_debug, {message.get()});
  } catch (const vs::PyError&) {
    return login_failed_for_configuration_fault(
        a, idp_id.get(), {{"re", "error", "\"saml_auth_regex\" does not compile: "}});
  }

  // The redirect is built before the session is dropped: when the return
  // URL cannot be had, the user keeps the session they came with.
  Ref found = vs::global(a.globals, k_http_found);
  Ref return_to_url = call_method(idp.get(), k_get_return_to_url);
  Ref response = call(found.get(), {return_to_url.get()});
  // A login always starts from a fresh session (no fixation of a session id
  // handed out before the user was known).
  call_method(getattr(request, k_session).get(), k_invalidate);
  call(vs::global(a.globals, k_load_sso_user_to_session).get(), {request, sso_user_id.get()});
  Ref headers = call(vs::global(a.globals, k_remember).get(), {request, user_id.get()});
  call_method(getattr(response.get(), k_headerlist).get(), k_extend, {headers.get()});
  return response;
}

// saml_metadata_view(context, request)
Ref saml_metadata_view(const Args& a) {
  PyObject* request = a[1];
  static PyObject* const k_auth_settings = intern("auth_settings");
  static PyObject* const k_idp_prefix = intern("IdP ");
  static PyObject* const k_not_usable = intern(" does not exist or disabled");
  static PyObject* const k_explanation = vs::tuple_of({intern("explanation")}).release();
  static PyObject* const k_users = vs::tuple_of({intern("users")}).release();
  static PyObject* const k_get_sp_metadata = intern("get_sp_metadata");
  static PyObject* const k_body_content_type = vs::tuple_of({intern("body"), intern("content_type")}).release();
  static PyObject* const k_text_xml = intern("text/xml");
  Ref auth_settings = registry_setting(request, k_auth_settings);
  Ref idp_id = route_idp_id(request);
  Ref idp_config;
  try {
    idp_config = load_idp_config(a, auth_settings.get(), idp_id.get());
  } catch (const vs::PyError&) {
    Ref e = catch_value_error();
    vs::HandlingException handling(e.get());
    // Unknown and disabled IdPs look alike from outside.
    Ref explanation = vs::concat({k_idp_prefix, vs::text(idp_id.get()).get(), k_not_usable});
    Ref bad_request = module_name(a, "HTTPBadRequest");
    vs::raise_in_handler(e.get(), vs::call_kw(bad_request.get(), {explanation.get()}, k_explanation), false);
  }
  Ref idp_config_class = module_name(a, "SamlIDPConfig");
  Ref users = vs::check(PyList_New(0));
  Ref idp = vs::call_kw(idp_config_class.get(), {idp_config.get(), request, users.get()}, k_users);
  Ref metadata;
  try {
    metadata = call_method(idp.get(), k_get_sp_metadata);
  } catch (const vs::PyError&) {
    Ref e = catch_value_error();
    vs::HandlingException handling(e.get());
    Ref explanation = vs::str(e.get());
    Ref bad_request = module_name(a, "HTTPBadRequest");
    vs::raise_in_handler(e.get(), vs::call_kw(bad_request.get(), {explanation.get()}, k_explanation), false);
  }
  Ref ok = module_name(a, "HTTPOk");
  return vs::call_kw(ok.get(), {metadata.get(), k_text_xml}, k_body_content_type);
}

const vs::MemberSpec login_failed_spec{vs::Kind::Function, "login_failed", "(idp_id, desc)", nullptr, login_failed,
                                       kFile};
const vs::MemberSpec saml_sso_view_spec{vs::Kind::Function, "saml_sso_view", "(context, request)",
                                        "Generate redirect to SAML IdP", saml_sso_view, kFile};
const vs::MemberSpec saml_callback_view_spec{vs::Kind::Function, "saml_callback_view", "(context, request)",
                                             "SAML assertion consumer url - asc. Aka callback.\n\n"
                                             "    Validate SAML response and login user.\n    ",
                                             saml_callback_view, kFile};
const vs::MemberSpec saml_metadata_view_spec{vs::Kind::Function, "saml_metadata_view", "(context, request)", nullptr,
                                             saml_metadata_view, kFile};

using vs::bind;

void exec_module(PyObject* module) {
  PyObject* globals = PyModule_GetDict(module);
  bind(module, "logging", vs::import_module(globals, "logging"));
  for (const char* name : {"HTTPFound", "HTTPOk", "HTTPBadRequest"})
    bind(module, name, vs::import_from(globals, "pyramid.httpexceptions", name));
  bind(module, "remember", vs::import_from(globals, "pyramid.security", "remember"));
  bind(module, "current_thread_log_context",
       vs::import_from(globals, "velmora.logging_conf", "current_thread_log_context"));
  bind(module, "load_sso_user_to_session", vs::import_from(globals, "velmora.utils", "load_sso_user_to_session"));
  for (const char* name :
       {"SamlAuthLoader", "SamlIDPConfig", "SamlDuplicateResponsesTrackerInMemcache", "responses_tracker_mem"})
    bind(module, name, vs::import_from(globals, "saml", name, 1));
  Ref logging = module_name(Args{nullptr, globals}, "logging");
  bind(module, "log", call_method(logging.get(), intern("getLogger"), {ustr("velmora").get()}));
  bind(module, "LOGIN_FAILED_URL", ustr("/login/callback/failed"));
  for (const vs::MemberSpec* spec :
       {&login_failed_spec, &saml_sso_view_spec, &saml_callback_view_spec, &saml_metadata_view_spec})
    bind(module, spec->name, vs::make_function(*spec, module, spec->name));
}

int exec_slot(PyObject* module) { return vs::run_module_exec(module, exec_module); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velmora_saml.views", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace views

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_views(void) {
  return PyModuleDef_Init(&views::module_def);
}
