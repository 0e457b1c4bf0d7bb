// SamlAuthLoader and validate_saml_settings.
#include "saml.hpp"

namespace saml {
namespace {

using vs::call_method;
using vs::fetch_exception;
using vs::getattr;
using vs::getitem;
using vs::intern;
using vs::setattr;
using vs::setitem;
using vs::truthy;
using vs::ustr;

constexpr const char* kFile = "velmora_saml/auth_loader.cpp";

// SamlAuthLoader.__init__(self, auth_settings)
Ref loader_init(const Args& a) {
  PyObject* self = a[0];
  PyObject* auth_settings = a[1];
  static PyObject* const idps = intern("idps");
  static PyObject* const policies = intern("authentication_policies");
  static PyObject* const saml_key = intern("saml");
  setattr(self, idps, Ref::steal(PyDict_New()).get());
  Ref saml_settings;
  try {
    Ref p = getitem(auth_settings, policies);
    saml_settings = getitem(p.get(), saml_key);
  } catch (const vs::PyError&) {
    Ref caught = fetch_exception();
    if (!vs::exception_matches(caught.get(), PyExc_KeyError)) vs::reraise(caught);
    vs::raise_in_handler(caught.get(), vs::call(PyExc_ValueError, {ustr("SAML is not configured").get()}), false);
  }
  static PyObject* const saml_settings_name = intern("saml_settings");
  static PyObject* const idp_configs = intern("idp_configs");
  static PyObject* const saml_enabled = intern("saml_enabled");
  static PyObject* const identity_providers = intern("identity_providers");
  static PyObject* const enabled = intern("enabled");
  setattr(self, saml_settings_name, saml_settings.get());
  setattr(self, idp_configs, getitem(saml_settings.get(), identity_providers).get());
  setattr(self, saml_enabled, getitem(saml_settings.get(), enabled).get());
  return vs::none();
}

// SamlAuthLoader.load_by_id(self, idp_id)
Ref loader_load_by_id(const Args& a) {
  PyObject* self = a[0];
  PyObject* idp_id = a[1];
  static PyObject* const saml_enabled = intern("saml_enabled");
  static PyObject* const idp_configs = intern("idp_configs");
  static PyObject* const enabled = intern("enabled");
  if (!truthy(getattr(self, saml_enabled).get())) vs::raise_new(PyExc_ValueError, "SAML is disabled");
  Ref configs = getattr(self, idp_configs);
  Ref idp_config;
  try {
    idp_config = getitem(configs.get(), idp_id);
  } catch (const vs::PyError&) {
    Ref caught = fetch_exception();
    if (!vs::exception_matches(caught.get(), PyExc_KeyError)) vs::reraise(caught);
    vs::raise_in_handler(caught.get(), vs::call(PyExc_ValueError, {ustr("IdP is not found").get()}), false);
  }
  if (truthy(getitem(idp_config.get(), enabled).get())) return idp_config;
  Ref message = vs::concat({ustr("Identity provider \"").get(), vs::text(idp_id).get(), ustr("\" is disabled").get()});
  vs::raise_new(PyExc_ValueError, message.get());
}

// SamlAuthLoader.validate_all(self, timeout)
Ref loader_validate_all(const Args& a) {
  PyObject* self = a[0];
  PyObject* timeout = a[1];
  static PyObject* const debug = intern("debug");
  static PyObject* const error = intern("error");
  static PyObject* const enabled = intern("enabled");
  static PyObject* const items = intern("items");
  static PyObject* const validate_idp_config = intern("validate_idp_config");
  static PyObject* const format_exc = intern("format_exc");
  Ref log = module_name(a, "log");
  if (!truthy(getattr(self, intern("saml_enabled")).get())) {
    call_method(log.get(), debug, {ustr("SAML disabled").get()});
    return vs::none();
  }
  Ref idp_configs = getattr(self, intern("idp_configs"));
  if (idp_configs.get() == Py_None) {
    Ref saml_settings = getattr(self, intern("saml_settings"));
    setitem(saml_settings.get(), intern("identity_providers"), Ref::steal(PyDict_New()).get());
    return vs::none();
  }
  Ref idps = getattr(self, intern("idps"));
  Ref iterator = vs::check(PyObject_GetIter(call_method(idp_configs.get(), items).get()));
  while (Ref pair = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref idp_id = vs::check(PySequence_GetItem(pair.get(), 0));
    Ref idp_config = vs::check(PySequence_GetItem(pair.get(), 1));
    if (!truthy(getitem(idp_config.get(), enabled).get())) {
      Ref message = vs::concat({ustr("SAML IdP ").get(), vs::text(idp_id.get()).get(), ustr(" is disabled").get()});
      call_method(log.get(), debug, {message.get()});
      continue;
    }
    Ref idp_config_class = module_name(a, "SamlIDPConfig");
    try {
      call_method(idp_config_class.get(), validate_idp_config, {idp_config.get(), timeout});
    } catch (const vs::PyError&) {
      Ref caught = fetch_exception();
      if (!vs::exception_matches(caught.get(), PyExc_Exception)) vs::reraise(caught);
      vs::HandlingException handling(caught.get());
      Ref config_again = getitem(idp_configs.get(), idp_id.get());
      setitem(config_again.get(), enabled, Py_False);
      Ref traceback = module_name(a, "traceback");
      Ref minus_one = Ref::steal(PyLong_FromLong(-1));
      Ref trace = call_method(traceback.get(), format_exc, {minus_one.get()});
      Ref message = vs::concat({ustr("Saml IdP ").get(), vs::text(idp_id.get()).get(),
                                ustr(" config is invalid. See the documentation regarding SAML Configuration\n").get(),
                                trace.get()});
      call_method(log.get(), error, {message.get()});
      continue;
    }
    setitem(idps.get(), idp_id.get(), idp_config.get());
  }
  if (PyErr_Occurred()) throw vs::PyError{};
  return vs::none();
}

// An unknown "replay_store" makes every login fail: logged as an error line.
// Only settings that name a replay store load the module that reads it.
void report_replay_store(const Args& a, PyObject* loader) {
  static PyObject* const k_replay_store = intern("replay_store");
  Ref saml_settings = getattr(loader, intern("saml_settings"));
  if (!vs::getitem_opt(saml_settings.get(), k_replay_store)) return;
  try {
    Ref replay_store = vs::import_module(a.globals, "velmora_saml.replay_store");
    call_method(replay_store.get(), intern("replay_store_name"), {saml_settings.get()});
  } catch (const vs::PyError&) {
    Ref caught = fetch_exception();
    if (!vs::exception_matches(caught.get(), PyExc_ValueError)) vs::reraise(caught);
    vs::HandlingException handling(caught.get());
    call_method(module_name(a, "log").get(), intern("error"), {caught.get()});
  }
}

// validate_saml_settings(auth_settings, timeout)
Ref validate_saml_settings(const Args& a) {
  Ref log = module_name(a, "log");
  Ref loader;
  try {
    Ref loader_class = module_name(a, "SamlAuthLoader");
    loader = vs::call(loader_class.get(), {a[0]});
    call_method(loader.get(), intern("validate_all"), {a[1]});
  } catch (const vs::PyError&) {
    Ref caught = fetch_exception();
    if (!vs::exception_matches(caught.get(), PyExc_ValueError)) vs::reraise(caught);
    vs::HandlingException handling(caught.get());
    call_method(log.get(), intern("error"), {caught.get()});
    return vs::none();
  }
  report_replay_store(a, loader.get());
  Ref idps = getattr(loader.get(), intern("idps"));
  Ref ids = vs::join(ustr(", ").get(), idps.get());
  call_method(log.get(), intern("debug"), {vs::concat({ustr("Loaded SAML idps: ").get(), ids.get()}).get()});
  return vs::none();
}

const vs::MemberSpec init_spec{vs::Kind::Method, "__init__", "(self, auth_settings)", "Load SAML auth settings",
                               loader_init, kFile};
const vs::MemberSpec load_by_id_spec{vs::Kind::Method, "load_by_id", "(self, idp_id)", nullptr, loader_load_by_id,
                                     kFile};
const vs::MemberSpec validate_all_spec{vs::Kind::Method, "validate_all", "(self, timeout)",
                                       "Validate saml settings, disable invalid", loader_validate_all, kFile};

}  // namespace

const vs::MemberSpec validate_saml_settings_spec{
    vs::Kind::Function, "validate_saml_settings", "(auth_settings, timeout)", nullptr, validate_saml_settings, kFile};

Ref build_auth_loader_class(PyObject* module) {
  return vs::ClassBuilder(module, "SamlAuthLoader", "Class for loading and validating saml auth configs")
      .member(init_spec)
      .member(load_by_id_spec)
      .member(validate_all_spec)
      .build();
}

}  // namespace saml
