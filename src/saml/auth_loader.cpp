// SamlAuthLoader and validate_saml_settings.
#include "saml.hpp"

#include "../glue/siblings.hpp"

namespace saml {
namespace {

using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::getitem;
using vs::setattr;
using vs::setitem;
using vs::truthy;
using vs::ustr;

namespace SamlAuthLoader {

// SamlAuthLoader.__init__(self, auth_settings)
Ref init(const Args& a) {
  PyObject* self = a[0];
  PyObject* auth_settings = a[1];
  setattr(self, names::idps, vs::new_dict().get());
  Ref saml_settings;
  try {
    Ref policies = getitem(auth_settings, names::authentication_policies);
    saml_settings = getitem(policies.get(), names::saml);
  } catch (const vs::PyError&) {
    Caught e(PyExc_KeyError);
    e.raise(vs::call(PyExc_ValueError, {ustr("SAML is not configured").get()}));
  }
  setattr(self, names::saml_settings, saml_settings.get());
  setattr(self, names::idp_configs, getitem(saml_settings.get(), names::identity_providers).get());
  setattr(self, names::saml_enabled, getitem(saml_settings.get(), names::enabled).get());
  return vs::none();
}

// SamlAuthLoader.load_by_id(self, idp_id)
Ref load_by_id(const Args& a) {
  PyObject* self = a[0];
  PyObject* idp_id = a[1];
  if (!truthy(getattr(self, names::saml_enabled).get())) vs::raise_new(PyExc_ValueError, "SAML is disabled");
  Ref configs = getattr(self, names::idp_configs);
  Ref idp_config;
  try {
    idp_config = getitem(configs.get(), idp_id);
  } catch (const vs::PyError&) {
    Caught e(PyExc_KeyError);
    e.raise(vs::call(PyExc_ValueError, {ustr("IdP is not found").get()}));
  }
  if (truthy(getitem(idp_config.get(), names::enabled).get())) return idp_config;
  Ref message = vs::concat({ustr("Identity provider \"").get(), vs::text(idp_id).get(), ustr("\" is disabled").get()});
  vs::raise_new(PyExc_ValueError, message.get());
}

// SamlAuthLoader.validate_all(self, timeout)
Ref validate_all(const Args& a) {
  PyObject* self = a[0];
  PyObject* timeout = a[1];
  Ref log = a.global(names::log);
  if (!truthy(getattr(self, names::saml_enabled).get())) {
    call_method(log.get(), names::debug, {ustr("SAML disabled").get()});
    return vs::none();
  }
  Ref idp_configs = getattr(self, names::idp_configs);
  if (idp_configs.get() == Py_None) {
    Ref saml_settings = getattr(self, names::saml_settings);
    setitem(saml_settings.get(), names::identity_providers, vs::new_dict().get());
    return vs::none();
  }
  Ref idps = getattr(self, names::idps);
  Ref iterator = vs::iterate(call_method(idp_configs.get(), names::items).get());
  while (Ref pair = vs::next(iterator.get())) {
    Ref idp_id = vs::item(pair.get(), 0);
    Ref idp_config = vs::item(pair.get(), 1);
    if (!truthy(getitem(idp_config.get(), names::enabled).get())) {
      Ref message = vs::concat({ustr("SAML IdP ").get(), vs::text(idp_id.get()).get(), ustr(" is disabled").get()});
      call_method(log.get(), names::debug, {message.get()});
      continue;
    }
    Ref idp_config_class = a.global(names::SamlIDPConfig);
    try {
      call_method(idp_config_class.get(), names::validate_idp_config, {idp_config.get(), timeout});
    } catch (const vs::PyError&) {
      Caught e(PyExc_Exception);
      note_for_report(names::note_validation, {idp_id.get(), e.get()});
      if (is_metadata_not_available(e)) {
        // Not a configuration fault: the IdP stays enabled and comes into
        // service with its first good document.
        Ref message = vs::concat({ustr("Saml IdP ").get(), vs::text(idp_id.get()).get(),
                                  ustr(" waits for its metadata: ").get(), vs::text(e.get()).get()});
        call_method(log.get(), names::warning, {message.get()});
        continue;
      }
      Ref config_again = getitem(idp_configs.get(), idp_id.get());
      setitem(config_again.get(), names::enabled, Py_False);
      Ref trace = call_method(a.global(names::traceback).get(), names::format_exc, {vs::integer(-1).get()});
      Ref message = vs::concat({ustr("Saml IdP ").get(), vs::text(idp_id.get()).get(),
                                ustr(" config is invalid. See the documentation regarding SAML Configuration\n").get(),
                                trace.get()});
      call_method(log.get(), names::error, {message.get()});
      continue;
    }
    note_for_report(names::note_validation, {idp_id.get(), Py_None});
    setitem(idps.get(), idp_id.get(), idp_config.get());
  }
  return vs::none();
}

}  // namespace SamlAuthLoader

// An unknown "replay_store" makes every login fail: logged as an error line.
// Only settings that name a replay store load the module that reads it.
void report_replay_store(const Args& a, PyObject* loader) {
  Ref saml_settings = getattr(loader, names::saml_settings);
  if (!vs::getitem_opt(saml_settings.get(), names::replay_store)) return;
  try {
    Ref replay_store = siblings::get(siblings::replay_store);
    call_method(replay_store.get(), names::replay_store_name, {saml_settings.get()});
  } catch (const vs::PyError&) {
    Caught e(PyExc_ValueError);
    call_method(a.global(names::log).get(), names::error, {e.get()});
  }
}

// validate_saml_settings(auth_settings, timeout)
Ref validate_saml_settings(const Args& a) {
  Ref log = a.global(names::log);
  Ref loader;
  try {
    Ref loader_class = a.global(names::SamlAuthLoader);
    loader = vs::call(loader_class.get(), {a[0]});
    call_method(loader.get(), names::validate_all, {a[1]});
  } catch (const vs::PyError&) {
    Caught e(PyExc_ValueError);
    call_method(log.get(), names::error, {e.get()});
    return vs::none();
  }
  report_replay_store(a, loader.get());
  Ref idps = getattr(loader.get(), names::idps);
  Ref ids = vs::join(ustr(", ").get(), idps.get());
  call_method(log.get(), names::debug, {vs::concat({ustr("Loaded SAML idps: ").get(), ids.get()}).get()});
  return vs::none();
}

const vs::MemberSpec SamlAuthLoader_members[] = {
    {vs::Kind::Method, "__init__", "(self, auth_settings)", "Load SAML auth settings", SamlAuthLoader::init},
    {vs::Kind::Method, "load_by_id", "(self, idp_id)", nullptr, SamlAuthLoader::load_by_id},
    {vs::Kind::Method, "validate_all", "(self, timeout)", "Validate saml settings, disable invalid",
     SamlAuthLoader::validate_all},
};

const vs::MemberSpec module_functions[] = {
    {vs::Kind::Function, "validate_saml_settings", "(auth_settings, timeout)", nullptr, validate_saml_settings},
};

}  // namespace

Ref build_SamlAuthLoader(PyObject* module) {
  return vs::ClassBuilder(module, "SamlAuthLoader", "Class for loading and validating saml auth configs")
      .members(SamlAuthLoader_members)
      .build();
}

void bind_module_functions(PyObject* module) { vs::bind_functions(module, module_functions); }

}  // namespace saml
