// The HTTP-POST binding of the SP's messages: the page that posts a message
// by itself (the one that sends an AuthnRequest, LogoutRequest or
// LogoutResponse to the IdP, and the re-post page of a form that came
// without the session cookie), the enveloped signature of what is sent, and
// the reading of a message posted to the single-logout service, which is
// never inflated and whose signature is checked inside the XML.
#include <string>
#include <string_view>

#include "logout.hpp"
#include "../glue/bindings.hpp"
#include "../glue/config_errors.hpp"
#include "../glue/login_policy_keys.hpp"
#include "../glue/signature_transforms.hpp"

namespace logout {

const vs::Name signing_in{"Signing in"};
const vs::Name signing_out{"Signing out"};

using vs::call;
using vs::call_kw;
using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::getitem;

namespace {

const vs::KwNames page_keywords{&names::content_type, &names::charset};
const vs::KwNames users_keyword{&names::users};
// The pages, around their action and fields. The only script they run is
// page_script; the Content-Security-Policy allows it by its hash.
const vs::Name page_head{"<!doctype html><html><head><meta charset=\"utf-8\"><title>"};
const vs::Name page_form{"</title></head><body><form method=\"post\" action=\""};
const vs::Name page_fields{"\">"};
const vs::Name page_button{"<noscript><button type=\"submit\">Continue</button></noscript></form><script>"};
const vs::Name page_script{"document.forms[0].submit();"};
const vs::Name page_end{"</script></body></html>"};
const vs::Name input_head{"<input type=\"hidden\" name=\""};
const vs::Name input_value{"\" value=\""};
const vs::Name input_end{"\">"};
const vs::Name text_html{"text/html"};
const vs::Name utf_8{"utf-8"};
const vs::Name no_store{"no-store"};
// What a message handed to the toolkit's readers begins with when it does not
// begin so already. Raw DEFLATE fails on its third byte ("<?x": "too many
// length or distance symbols"), so the toolkit's decoder, which tries to
// inflate every message it reads, inflates nothing of a posted one.
const vs::Name xml_declaration{"<?xml version=\"1.0\" encoding=\"UTF-8\"?>"};
const vs::Name signature_xpath{"/*/ds:Signature"};
const vs::Name any_signature{"//ds:Signature"};
const vs::Name references_xpath{"/*/ds:Signature/ds:SignedInfo/ds:Reference"};
const vs::Name signature_method_xpath{"/*/ds:Signature/ds:SignedInfo/ds:SignatureMethod/@Algorithm"};
const vs::Name digest_method_xpath{"/*/ds:Signature/ds:SignedInfo/ds:Reference/ds:DigestMethod/@Algorithm"};
const vs::Name sha1{"sha1"};
const vs::Name enveloped_mark{"(enveloped in the XML)"};

// The Content-Security-Policy of the pages, made at first use and kept for
// the process: nothing may load, only the page's own script runs, the page
// may not be framed.
PyObject* page_policy = nullptr;
// "boolean(...)": the signature names a transform outside the allow-list.
PyObject* refused_transforms = nullptr;

PyObject* policy() {
  if (page_policy) return page_policy;
  Ref hashlib = vs::check(PyImport_ImportModule("hashlib"));
  Ref base64 = vs::check(PyImport_ImportModule("base64"));
  Ref script = vs::check(PyUnicode_AsUTF8String(page_script.get()));
  Ref digest = call_method(call_method(hashlib.get(), names::sha256, {script.get()}).get(), names::digest);
  Ref encoded = call_method(call_method(base64.get(), names::b64encode, {digest.get()}).get(), names::decode,
                            {vs::ustr("ascii").get()});
  Ref value = vs::concat({vs::ustr("default-src 'none'; script-src 'sha256-").get(), encoded.get(),
                          vs::ustr("'; base-uri 'none'; frame-ancestors 'none'").get()});
  if (!page_policy) page_policy = value.release();
  return page_policy;
}

PyObject* transforms_check() {
  if (!refused_transforms) {
    std::string expression = "boolean(" + signature_transforms::refused_expression() + ")";
    refused_transforms = vs::ustr(expression.c_str()).release();
  }
  return refused_transforms;
}

Ref query(const Args& a, PyObject* root, PyObject* xpath) {
  return call_method(a.global(names::OneLogin_Saml2_XML).get(), names::query, {root, xpath});
}

// The text of the first attribute value an XPath finds, or None.
Ref first_text(const Args& a, PyObject* root, PyObject* xpath) {
  Ref found = query(a, root, xpath);
  if (!PyList_Check(found.get()) || PyList_Size(found.get()) == 0) return vs::none();
  return vs::str(vs::item(found.get(), 0).get());
}

// The IdP's signing certificates as the toolkit keeps them: (cert, multicerts).
void signing_certificates(PyObject* settings_obj, Ref& cert, Ref& multicerts) {
  Ref idp_data = call_method(settings_obj, names::get_idp_data);
  Ref multi = PyDict_Check(idp_data.get()) ? vs::dict_get(idp_data.get(), names::x509certMulti) : Ref();
  Ref signing = multi && PyDict_Check(multi.get()) ? vs::dict_get(multi.get(), names::signing) : Ref();
  multicerts = signing && vs::truthy(signing.get()) ? signing : vs::none();
  cert = call_method(settings_obj, names::get_idp_cert);
}

}  // namespace

// form_page: the page that posts `fields` to `action` by itself.
Ref form_page(const Args& a, PyObject* action, const std::vector<std::pair<PyObject*, PyObject*>>& fields,
              const vs::Name& title) {
  Ref html = a.global(names::html);
  auto escaped = [&](PyObject* value) { return call_method(html.get(), names::escape, {value}); };
  Ref inputs = Ref::borrow(names::empty);
  for (const auto& [name, value] : fields) {
    if (!value) continue;
    inputs = vs::concat({inputs.get(), input_head, escaped(name).get(), input_value, escaped(value).get(), input_end});
  }
  Ref body = vs::concat({page_head, title, page_form, escaped(action).get(), page_fields, inputs.get(), page_button,
                         page_script, page_end});
  Ref response = call_kw(a.global(names::Response).get(), {body.get(), text_html, utf_8}, page_keywords);
  // The page holds a SAML message: never kept by a cache.
  vs::setattr(response.get(), names::cache_control, no_store);
  Ref headers = getattr(response.get(), names::headers);
  vs::setitem(headers.get(), names::Content_Security_Policy, policy());
  return response;
}

Ref posted_message(const Args& a, PyObject* settings_obj, PyObject* xml, bool sign) {
  Ref utils = a.global(names::OneLogin_Saml2_Utils);
  if (!sign) return call_method(utils.get(), names::b64encode, {xml});
  Ref security = call_method(settings_obj, names::get_security_data);
  Ref key = call_method(settings_obj, names::get_sp_key);
  Ref cert = call_method(settings_obj, names::get_sp_cert);
  Ref debug = call_method(settings_obj, names::is_debug_active);
  Ref signed_xml = call_method(utils.get(), names::add_sign,
                               {xml, key.get(), cert.get(), debug.get(),
                                getitem(security.get(), names::signatureAlgorithm).get(),
                                getitem(security.get(), names::digestAlgorithm).get()});
  return call_method(utils.get(), names::b64encode, {signed_xml.get()});
}

PostedMessage read_posted(const Args& a, PyObject* value) {
  PostedMessage posted;
  Ref decoded;
  try {
    decoded = call_method(a.global(names::OneLogin_Saml2_Utils).get(), names::b64decode, {value});
  } catch (const vs::PyError&) {
    Caught e({PyExc_ValueError, PyExc_TypeError});
    posted.refusal = Refusal::not_xml;
    return posted;
  }
  if (!PyBytes_Check(decoded.get())) {
    posted.refusal = Refusal::not_xml;
    return posted;
  }
  // (A replaced decoder may give a subclass of bytes: read through the checked calls.)
  char* data = nullptr;
  Py_ssize_t length = 0;
  vs::check_status(PyBytes_AsStringAndSize(decoded.get(), &data, &length));
  Ref limit = a.global(names::LOGOUT_MESSAGE_LIMIT);
  Ref size = vs::check(PyLong_FromSsize_t(length));
  if (vs::compare(size.get(), limit.get(), Py_GT)) {
    posted.refusal = Refusal::too_large;
    return posted;
  }
  // Plain XML: its first character (after white space, or a byte order
  // mark) opens a tag. A deflated message is refused here, never inflated.
  // (`decoded` is held and bytes do not change: `data` stays valid, whatever
  // the comparison above ran.)
  std::string_view bytes(data, static_cast<size_t>(length));
  size_t start = bytes.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  size_t first = bytes.find_first_not_of(" \t\r\n", start);
  if (first == std::string_view::npos || bytes[first] != '<') {
    posted.refusal = Refusal::not_xml;
    return posted;
  }
  Ref document = vs::check(PyBytes_FromStringAndSize(bytes.data() + start, static_cast<Py_ssize_t>(bytes.size() - start)));
  if (bytes.substr(start, 5) != "<?xml") {
    Ref declaration = vs::check(PyUnicode_AsUTF8String(xml_declaration.get()));
    document = vs::check(PyNumber_Add(declaration.get(), document.get()));
  }
  posted.xml = document;
  posted.toolkit_value = call_method(a.global(names::OneLogin_Saml2_Utils).get(), names::b64encode, {document.get()});
  return posted;
}

Ref posted_signature_problem(const Args& a, PyObject* settings_obj, PyObject* xml, const char* field) {
  Ref root = call_method(a.global(names::OneLogin_Saml2_XML).get(), names::to_etree, {xml});
  Ref signatures = query(a, root.get(), any_signature);
  Py_ssize_t count = vs::size(signatures.get());
  Ref security = call_method(settings_obj, names::get_security_data);
  if (count == 0) {
    // As the toolkit's rule for HTTP-Redirect: unsigned messages are refused
    // when the settings want them signed and are strict.
    bool wanted = vs::truthy(call_method(security.get(), names::get, {names::wantMessagesSigned, Py_False}).get()) &&
                  vs::truthy(call_method(settings_obj, names::is_strict).get());
    if (!wanted) return Ref();
    return vs::check(PyUnicode_FromFormat("The %s is not signed. Rejected.", field));
  }
  if (count != 1 || vs::size(query(a, root.get(), signature_xpath).get()) != 1)
    return vs::check(PyUnicode_FromFormat("Expected exactly one signature node, over the %s; got %zd.", field, count));
  if (vs::truthy(query(a, root.get(), transforms_check()).get()))
    return vs::ustr("The signature uses a transform outside the allow-list");
  // The signature covers the message itself: its one reference is the root
  // element's ID (or the whole document).
  Ref references = query(a, root.get(), references_xpath);
  Ref id = call_method(root.get(), names::get, {names::ID});
  bool covers = vs::size(references.get()) == 1 && PyUnicode_Check(id.get()) && vs::truthy(id.get());
  if (covers) {
    Ref uri = call_method(vs::item(references.get(), 0).get(), names::get, {names::URI});
    Ref own = vs::concat({vs::ustr("#").get(), id.get()});
    covers = PyUnicode_Check(uri.get()) &&
             (PyUnicode_GET_LENGTH(uri.get()) == 0 || vs::compare(uri.get(), own.get(), Py_EQ));
  }
  if (!covers) return vs::check(PyUnicode_FromFormat("The signature does not cover the %s", field));
  if (vs::truthy(call_method(security.get(), names::get, {names::rejectDeprecatedAlgorithm, Py_False}).get())) {
    Ref deprecated = getattr(a.global(names::OneLogin_Saml2_Constants).get(), names::DEPRECATED_ALGORITHMS);
    Ref method = first_text(a, root.get(), signature_method_xpath);
    if (vs::contains(deprecated.get(), method.get()))
      return vs::concat({vs::ustr("Deprecated signature algorithm found: ").get(), method.get()});
    Ref digest = first_text(a, root.get(), digest_method_xpath);
    if (vs::contains(deprecated.get(), digest.get()))
      return vs::concat({vs::ustr("Deprecated digest algorithm found: ").get(), digest.get()});
  }
  Ref cert, multicerts;
  signing_certificates(settings_obj, cert, multicerts);
  if (!vs::truthy(cert.get()) && multicerts.get() == Py_None)
    return vs::check(
        PyUnicode_FromFormat("In order to validate the sign on the %s, the x509cert of the IdP is required", field));
  Ref debug = call_method(settings_obj, names::is_debug_active);
  // The toolkit's check of an enveloped signature, with the IdP's keys.
  Ref valid = call_method(a.global(names::OneLogin_Saml2_Utils).get(), names::validate_sign,
                          {root.get(), cert.get(), Py_None, sha1, Py_False, debug.get(), signature_xpath,
                           multicerts.get()});
  if (vs::truthy(valid.get())) return Ref();
  return vs::check(PyUnicode_FromFormat("Signature validation failed. %s rejected", field));
}

Ref posted_request_data(PyObject* request_data, bool signature_verified) {
  Ref data = call_method(request_data, names::copy);
  Ref get_data = vs::new_dict();
  // The toolkit's readers tell a signed message only by the Signature field
  // of HTTP-Redirect; a posted message whose enveloped signature was
  // verified carries that mark.
  if (signature_verified) vs::setitem(get_data.get(), names::Signature, enveloped_mark);
  vs::setitem(data.get(), names::get_data, get_data.get());
  return data;
}

// post_authn_request(request, idp_config, return_to_url)
Ref post_authn_request(const Args& a) {
  PyObject* request = a[0];
  PyObject* idp_config = a[1];
  Ref idp_config_class = a.global(names::SamlIDPConfig);
  try {
    // As generate_login_url does, with the toolkit's AuthnRequest posted.
    Ref settings = call_method(idp_config_class.get(), names::get_idp_settings, {idp_config});
    // An entry that asks for HTTP-POST of an IdP without such an endpoint.
    bindings::sends_by_post(idp_config, settings.get(), names::singleSignOnService);
    Ref options = getitem(settings.get(), names::extra_request_options);
    Ref return_to = getitem(options.get(), names::return_to);
    if (!vs::truthy(return_to.get())) return_to = Ref::borrow(a[2]);
    Ref users = vs::new_list();
    Ref idp = call_kw(idp_config_class.get(), {idp_config, request, users.get()}, users_keyword);
    Ref auth = getattr(idp.get(), names::saml_auth);
    Ref settings_obj = call_method(auth.get(), names::get_settings);
    // An entry with a login policy asks what a login by HTTP-Redirect asks:
    // the authentication context the start names, a fresh sign-in.
    login_policy_keys::Asked asked;
    if (login_policy_keys::named(idp_config)) asked = login_policy_keys::login_request(request, idp_config);
    if (asked.class_refs.get() != Py_None)
      settings_obj = call(reinterpret_cast<PyObject*>(Py_TYPE(settings_obj.get())),
                          {login_policy_keys::settings_asking(settings.get(), asked.class_refs.get()).get()});
    Ref force_authn = asked.force_authn ? vs::boolean(true) : getitem(options.get(), names::force_authn);
    Ref authn_request = call(getattr(auth.get(), names::authn_request_class).get(),
                             {settings_obj.get(), force_authn.get(), getitem(options.get(), names::is_passive).get(),
                              getitem(options.get(), names::set_nameid_policy).get()});
    Ref xml = call_method(authn_request.get(), names::get_xml);
    Ref security = call_method(settings_obj.get(), names::get_security_data);
    bool sign = vs::truthy(call_method(security.get(), names::get, {names::authnRequestsSigned, Py_False}).get());
    Ref message = posted_message(a, settings_obj.get(), xml.get(), sign);
    Ref url = call_method(auth.get(), names::get_sso_url);
    if (return_to.get() == Py_None)
      return_to = call_method(a.global(names::OneLogin_Saml2_Utils).get(), names::get_self_url_no_query,
                              {getattr(idp.get(), names::request).get()});
    Ref options_pair = call(a.global(names::idp_logout_options).get(), {idp_config});
    if (!vs::truthy(vs::item(options_pair.get(), 0).get())) {
      // The response must answer this request: the callback looks for its id
      // in the browser's session.
      Ref request_id = call_method(authn_request.get(), names::get_id);
      call(a.global(names::remember_authn_request).get(), {request, idp_config, request_id.get()});
      // And what it asked, against which the callback checks the response.
      if (asked.remembered())
        call_method(login_policy_keys::module().get(), names::remember_login_request,
                    {request, idp_config, request_id.get(), asked.class_refs.get(), vs::boolean(asked.force_authn).get()});
    }
    return form_page(a, url.get(), {{names::SAMLRequest, message.get()}, {names::RelayState, return_to.get()}},
                     signing_in);
  } catch (const vs::PyError&) {
    Caught e;
    if (!e.matches({PyExc_KeyError, PyExc_AttributeError, a.global(names::OneLogin_Saml2_Error).get()})) e.reraise();
    config_errors::raise_invalid_from(e);
  }
}

}  // namespace logout
