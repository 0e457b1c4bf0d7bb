#include "bindings.hpp"

#include "config_errors.hpp"

namespace bindings {

using vs::Ref;

namespace {

const vs::Name post_value{"post"};
const vs::KwNames parse_keywords{&names::required_sso_binding, &names::required_slo_binding};

// `mapping[key]` of a dict, or an empty Ref for anything else.
Ref dict_value(PyObject* mapping, PyObject* key) {
  if (!mapping || !PyDict_Check(mapping)) return Ref();
  return vs::getitem_opt(mapping, key);
}

// idp_data[service], when both are dicts.
Ref service_of(PyObject* idp_data, PyObject* service) {
  Ref endpoint = dict_value(idp_data, service);
  return endpoint && PyDict_Check(endpoint.get()) ? endpoint : Ref();
}

// settings["idp"][service], when every level is a dict.
Ref endpoint_of(PyObject* saml_settings, PyObject* service) {
  Ref idp = dict_value(saml_settings, names::idp);
  return service_of(idp.get(), service);
}

[[noreturn]] void raise_no_post_endpoint(PyObject* service) {
  config_errors::raise_invalid({vs::ustr("\"request_binding\" is \"post\" but the IdP has no HTTP-POST endpoint "
                                         "for settings.idp.")
                                    .get(),
                                service});
}

}  // namespace

bool asks_for_post(PyObject* idp_config) {
  if (!vs::contains(idp_config, names::request_binding)) return false;
  Ref value = vs::getitem(idp_config, names::request_binding);
  if (value.get() == Py_None) return false;
  if (PyUnicode_Check(value.get()) && vs::compare(value.get(), post_value, Py_EQ)) return true;
  config_errors::raise_invalid({vs::ustr("\"request_binding\" must be \"post\" or null, not ").get(),
                                config_errors::shown(value.get()).get()});
}

bool idp_endpoint_on_post(PyObject* idp_data, PyObject* service) {
  Ref endpoint = service_of(idp_data, service);
  Ref binding = endpoint ? vs::getitem_opt(endpoint.get(), names::binding) : Ref();
  return binding && PyUnicode_Check(binding.get()) && vs::compare(binding.get(), post, Py_EQ);
}

bool endpoint_on_post(PyObject* saml_settings, PyObject* service) {
  Ref idp = dict_value(saml_settings, names::idp);
  return idp_endpoint_on_post(idp.get(), service);
}

bool sends_by_post(PyObject* idp_config, PyObject* saml_settings, PyObject* service) {
  bool on_post = endpoint_on_post(saml_settings, service);
  if (!on_post && asks_for_post(idp_config)) raise_no_post_endpoint(service);
  return on_post;
}

bool logout_by_post(PyObject* idp_config, PyObject* saml_settings) {
  return asks_for_post(idp_config) || endpoint_on_post(saml_settings, names::singleLogoutService);
}

void check_request_binding(PyObject* idp_config, PyObject* saml_settings, bool single_logout) {
  if (!asks_for_post(idp_config)) return;
  for (PyObject* service : {names::singleSignOnService.get(), names::singleLogoutService.get()}) {
    if (service == names::singleLogoutService.get() && !single_logout) continue;
    if (!endpoint_on_post(saml_settings, service)) raise_no_post_endpoint(service);
  }
}

Ref parse_idp_document(PyObject* parser, PyObject* document, bool prefer_post) {
  Ref parsed = vs::call_method(parser, names::parse, {document});
  bool complete = endpoint_of(parsed.get(), names::singleSignOnService) &&
                  endpoint_of(parsed.get(), names::singleLogoutService);
  if (complete && !prefer_post) return parsed;
  Ref parse = vs::getattr(parser, names::parse);
  Ref posted = vs::call_kw(parse.get(), {document, post, post}, parse_keywords);
  Ref idp = dict_value(parsed.get(), names::idp);
  if (!idp || !PyDict_Check(idp.get())) return parsed;
  for (PyObject* service : {names::singleSignOnService.get(), names::singleLogoutService.get()}) {
    Ref on_post = endpoint_of(posted.get(), service);
    if (on_post && (prefer_post || !endpoint_of(parsed.get(), service))) vs::setitem(idp.get(), service, on_post.get());
  }
  return parsed;
}

}  // namespace bindings
