// What is checked of a posted response besides the toolkit's validation:
// the signature transforms it names, and how long it stays recorded as seen.
#include <string>
#include <vector>

#include "../glue/login_policy_keys.hpp"
#include "../glue/logout_options.hpp"
#include "../glue/signature_transforms.hpp"
#include "../glue/toolkit.hpp"
#include "../glue/with_block.hpp"
#include "../glue/xpath.hpp"
#include "saml.hpp"
#include "state.hpp"
#include "../glue/one_line.hpp"

namespace saml {

using vs::call;
using vs::call_method;
using vs::Caught;
using vs::getattr;
using vs::truthy;
using names::empty;
using names::space;

const vs::KwNames request_id_keyword{&names::request_id};

namespace {

// ---- signature transforms of a posted response -----------------------------

// One compiled XPath answers the whole question inside libxml2, without a
// Python object per node. Its value is the sum of these flags:
constexpr long kTransformRefused = 1;
constexpr long kEncryptedAssertion = 2;  // its signature shows only after decryption

// The allow-list is shared with the check of signed IdP metadata.
std::string transform_verdict_expression() {
  return "number(" + signature_transforms::refused_expression() +
         ") + 2 * number(boolean(/samlp:Response/saml:EncryptedAssertion))";
}

// The confirmation method the toolkit checks times of (a SubjectConfirmation
// without Method counts as one too).
constexpr const char* kBearerConfirmations =
    "/samlp:Response/saml:Assertion/saml:Subject/saml:SubjectConfirmation"
    "[not(@Method) or @Method='' or @Method='urn:oasis:names:tc:SAML:2.0:cm:bearer']"
    "/saml:SubjectConfirmationData[1]";

// Process-wide objects of the response checks (module_state.response_tools),
// made on first use. Built without a C++ static guard:
// another thread may run Python code in between, and would block on the
// guard with the GIL.

const ResponseTools& response_tools() {
  ResponseTools& tools = module_state.response_tools;
  if (tools.verdict) return tools;
  Ref utils_module = vs::check(PyImport_ImportModule("onelogin.saml2.utils"));
  Ref xml_module = vs::check(PyImport_ImportModule("onelogin.saml2.xml_utils"));
  Ref constants_module = vs::check(PyImport_ImportModule("onelogin.saml2.constants"));
  Ref utils_class = getattr(utils_module.get(), names::OneLogin_Saml2_Utils);
  Ref xml_class = getattr(xml_module.get(), names::OneLogin_Saml2_XML);
  Ref constants_class = getattr(constants_module.get(), names::OneLogin_Saml2_Constants);
  using xpath::compile;
  Ref verdict = compile(transform_verdict_expression());
  Ref bearer_limits = compile(std::string(kBearerConfirmations) + "/@NotOnOrAfter[. != '']");
  Ref unlimited_bearer = compile(std::string("boolean(") + kBearerConfirmations +
                                 "[not(@NotOnOrAfter) or @NotOnOrAfter=''])");
  Ref condition_limits = compile("/samlp:Response/saml:Assertion/saml:Conditions/@NotOnOrAfter[. != '']");
  if (!tools.verdict) {
    tools.bearer_limits = bearer_limits.release();
    tools.unlimited_bearer = unlimited_bearer.release();
    tools.condition_limits = condition_limits.release();
    tools.utils_class = utils_class.release();
    tools.xml_class = xml_class.release();
    tools.constants_class = constants_class.release();
    tools.verdict = verdict.release();
  }
  return tools;
}

// The verdict number of the XPath above for a parsed document.
long transform_verdict(PyObject* document) {
  Ref value = call(response_tools().verdict, {document});
  return static_cast<long>(vs::as_double(value.get()));
}

// Runs `step` (which reports whether it found something to check) with
// every `Exception` it raises taken as "nothing to check": what the check
// cannot read is left to the toolkit, which reports it as before.
template <class Step>
bool leave_failures_to_toolkit(Step step) {
  try {
    return step();
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
    return false;
  }
}

}  // namespace

// Refuses a posted response whose signatures name a transform outside the
// allow-list, before the toolkit sees it: the same form field, the same
// base64 decoding and the same hardened parser as the toolkit's. Returns the
// parsed document, or an empty Ref when it could not be read.
Ref refuse_unsafe_transforms(PyObject* self) {
  const ResponseTools& tools = response_tools();
  Ref posted, document;
  bool not_text = false;
  bool readable = leave_failures_to_toolkit([&] {
    Ref request = getattr(self, names::request);
    if (!vs::contains(request.get(), names::post_data)) return false;
    Ref post_data = getitem(request.get(), names::post_data);
    if (!vs::contains(post_data.get(), names::SAMLResponse)) return false;
    posted = getitem(post_data.get(), names::SAMLResponse);
    // A multipart post can send the field as a file: the toolkit would fail
    // on it with a TypeError, a server error for a request anyone can make.
    not_text = !PyUnicode_Check(posted.get()) && !PyBytes_Check(posted.get());
    if (not_text) return false;
    Ref decoded = call_method(tools.utils_class, names::b64decode, {posted.get()});
    document = call_method(tools.xml_class, names::to_etree, {decoded.get()});
    return true;
  });
  if (not_text) vs::raise_new(PyExc_ValueError, "Invalid SAML response: SAMLResponse is not a form field");
  if (!readable) return Ref();
  long verdict = transform_verdict(document.get());
  if (verdict == kEncryptedAssertion) {
    // The toolkit decrypts an encrypted assertion before it checks the
    // assertion's signature: decrypt it the toolkit's way and look at what
    // the toolkit will see.
    Ref decrypted;
    bool decrypted_ok = leave_failures_to_toolkit([&] {
      Ref saml_auth = getattr(self, names::saml_auth);
      Ref response_class = getattr(saml_auth.get(), names::response_class);
      Ref settings = call_method(saml_auth.get(), names::get_settings);
      Ref response = call(response_class.get(), {settings.get(), posted.get()});
      decrypted = getattr(response.get(), names::decrypted_document);
      return decrypted.get() != Py_None;
    });
    if (!decrypted_ok) return document;
    verdict = transform_verdict(decrypted.get());
  }
  if (verdict & kTransformRefused)
    vs::raise_new(PyExc_ValueError, "Invalid SAML response: unsupported signature transform");
  return document;
}

// Whether an exception of the toolkit's processing is a failure on the
// posted message, which anyone can make the toolkit raise: its own errors
// (OneLogin_Saml2_Error, and OneLogin_Saml2_ValidationError, which is no
// subclass of it), lxml's XMLSyntaxError, xmlsec.Error, and the KeyError or
// TypeError of a document it does not expect (an EncryptedAssertion with odd
// KeyInfo). What says the process itself is in trouble goes to the host.
bool failure_on_the_message(const Caught& e) {
  return e.matches(PyExc_Exception) && !e.matches(PyExc_RuntimeError) && !e.matches(PyExc_MemoryError);
}

// The error line of a posted message the toolkit failed on:
// "Invalid SAML response: <module>.<class>: <text>".
void log_invalid_response(const Args& a, PyObject* exc) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Ref module = vs::text(getattr(type, names::dunder_module).get());
  Ref qualname = vs::text(getattr(type, names::dunder_qualname).get());
  Ref message = vs::concat({vs::ustr("Invalid SAML response: ").get(), module.get(), vs::ustr(".").get(),
                            qualname.get(), vs::ustr(": ").get(), one_line::shown(vs::str(exc).get()).get()});
  call_method(a.global(names::log).get(), names::error, {message.get()});
}

// ---- how long a response stays recorded -------------------------------------

namespace {

// parse_SAML_to_time(text) of the toolkit, or an empty Ref for a text it
// cannot read: the toolkit fails every response whose limits it reads and
// cannot parse, so such a limit never let one in.
Ref saml_time(const Args& a, PyObject* text) {
  try {
    return call_method(a.global(names::OneLogin_Saml2_Utils).get(), names::parse_SAML_to_time, {text});
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
    return Ref();
  }
}

// Of two times, the later (`op` Py_GT) or the earlier (Py_LT); None stands
// for "none found" and "no limit" alike, and the other time is taken.
Ref pick_limit(Ref a, Ref b, int op) {
  if (a.get() == Py_None) return b;
  if (b.get() == Py_None) return a;
  int preferred = PyObject_RichCompareBool(b.get(), a.get(), op);
  vs::check_status(preferred);
  return preferred ? b : a;
}

// The latest moment (unix time) at which the toolkit would still accept the
// response, or None when it would accept it for ever. The toolkit's own
// get_last_assertion_not_on_or_after (`reported`) is only the limit of the
// first confirmation that passed: with another one valid for longer, or one
// without limit, a record kept until then would let the same response in
// again.
Ref acceptance_limit(const ResponseLimits& limits, PyObject* reported) {
  if (!limits.strict) return vs::none();
  if (!limits.read) return Ref::borrow(reported);
  Ref confirmed_until =
      limits.unlimited_confirmation ? vs::none() : pick_limit(Ref::borrow(reported), limits.confirmed_until, Py_GT);
  return pick_limit(confirmed_until, limits.conditions_until, Py_LT);
}

}  // namespace

// The time limits of the response the toolkit has just accepted, as the
// toolkit checks them. In strict mode it wants the Conditions' NotOnOrAfter
// plus its allowed clock drift still ahead, and one bearer
// SubjectConfirmation whose data has no NotOnOrAfter or one still ahead;
// otherwise it checks no time at all. Read from the toolkit's document of
// the response (decrypted), outside the tracker's lock.
ResponseLimits response_limits(const Args& a, PyObject* saml_auth) {
  const ResponseTools& tools = response_tools();
  ResponseLimits limits;
  Ref settings = call_method(saml_auth, names::get_settings);
  limits.strict = truthy(call_method(settings.get(), names::is_strict).get());
  if (!limits.strict) return limits;
  // The toolkit's own auth object hands on the document it checked; any
  // other is read as it says it is, from its text.
  Ref document = toolkit::last_response_document(saml_auth);
  if (!document) {
    Ref xml = call_method(saml_auth, names::get_last_response_xml);
    if (!PyUnicode_Check(xml.get()) && !PyBytes_Check(xml.get())) return limits;
    document = call_method(tools.xml_class, names::to_etree, {xml.get()});
  }
  limits.read = true;
  auto each_time = [&](PyObject* xpath, auto visit) {
    Ref texts = vs::iterate(call(xpath, {document.get()}).get());
    while (Ref text = vs::next(texts.get())) {
      if (Ref time = saml_time(a, text.get())) visit(time);
    }
  };
  limits.unlimited_confirmation = truthy(call(tools.unlimited_bearer, {document.get()}).get());
  each_time(tools.bearer_limits,
            [&](const Ref& time) { limits.confirmed_until = pick_limit(limits.confirmed_until, time, Py_GT); });
  Ref drift = getattr(tools.constants_class, names::ALLOWED_CLOCK_DRIFT);
  each_time(tools.condition_limits, [&](const Ref& time) {
    limits.conditions_until =
        pick_limit(limits.conditions_until, vs::check(PyNumber_Add(time.get(), drift.get())), Py_GT);
  });
  return limits;
}

// Until when the processed response is recorded as seen: the moment after
// which the toolkit refuses it anyway, or, when there is none, for
// UNBOUNDED_RESPONSE_RECORD_LIFETIME seconds.
Ref record_expiration(const Args& a, PyObject* self, const ResponseLimits& limits, PyObject* reported) {
  Ref limit = acceptance_limit(limits, reported);
  if (limit.get() != Py_None) return limit;
  Ref now = call_method(a.global(names::time).get(), names::time);
  return vs::check(PyNumber_Add(now.get(), getattr(self, names::UNBOUNDED_RESPONSE_RECORD_LIFETIME).get()));
}

namespace SamlIDPConfig {

// SamlIDPConfig.process_saml_response(self)
Ref process_saml_response(const Args& a) {
  PyObject* self = a[0];
  Ref document = refuse_unsafe_transforms(self);
  // Only the answer to an AuthnRequest this browser was sent, when the IdP
  // entry asks for it: the id it answers is used up here, and the toolkit
  // checks the assertion's confirmation against it too.
  Ref request_id;
  Ref idp_config = vs::getattr_opt(self, names::idp_config);
  if (idp_config && !logout_options::read(idp_config.get()).allow_unsolicited) {
    Ref in_response_to = document ? call_method(document.get(), names::get, {names::InResponseTo}) : vs::none();
    request_id = call_method(logout_options::module().get(), names::claim_authn_request,
                             {getattr(self, names::raw_request).get(), idp_config.get(), in_response_to.get()});
  }
  try {
    Ref saml_auth = getattr(self, names::saml_auth);
    if (request_id)
      vs::call_kw(getattr(saml_auth.get(), names::process_response).get(), {request_id.get()}, request_id_keyword);
    else
      call_method(saml_auth.get(), names::process_response);
  } catch (const vs::PyError&) {
    Caught e;
    if (!e.matches(a.global(names::OneLogin_Saml2_Error).get()) && !failure_on_the_message(e)) e.reraise();
    log_invalid_response(a, e.get());
    e.raise_from(call(PyExc_ValueError, {e.get()}));
  }
  Ref errors = call_method(getattr(self, names::saml_auth).get(), names::get_errors);
  if (truthy(errors.get())) {
    Ref reason = call_method(getattr(self, names::saml_auth).get(), names::get_last_error_reason);
    Ref reason_text = vs::text(reason.get());
    Ref codes = vs::join(empty, errors.get());
    vs::raise_new(PyExc_ValueError, vs::concat({reason_text.get(), space, codes.get()}).get());
  }
  call_method(self, names::reject_duplicated_response);
  Ref authenticated = call_method(getattr(self, names::saml_auth).get(), names::is_authenticated);
  if (!truthy(authenticated.get())) vs::raise_new(PyExc_ValueError, "Not authenticated");
  // The entry's login policy: the authentication context its AuthnRequest
  // asked for, and a sign-in fresh enough.
  if (idp_config && login_policy_keys::named(idp_config.get()))
    call_method(login_policy_keys::module().get(), names::check_response,
                {getattr(self, names::raw_request).get(), idp_config.get(), getattr(self, names::saml_auth).get(),
                 request_id ? request_id.get() : Py_None});
  return vs::none();
}

// SamlIDPConfig.reject_duplicated_response(self)
Ref reject_duplicated_response(const Args& a) {
  PyObject* self = a[0];
  if (!truthy(getattr(self, names::responses_tracker).get())) {
    vs::raise_new(PyExc_RuntimeError, "SAML response tracker is not set");
  }
  Ref req_id = call_method(getattr(self, names::saml_auth).get(), names::get_last_message_id);
  // The Response ID alone is not enough: an IdP that signs only the
  // assertion leaves the Response ID unsigned, and a captured assertion
  // re-wrapped under a fresh Response ID would pass as new.
  Ref assertion_id = call_method(getattr(self, names::saml_auth).get(), names::get_last_assertion_id);
  std::vector<Ref> ids{req_id};
  if (truthy(assertion_id.get()) && vs::compare(assertion_id.get(), req_id.get(), Py_NE)) ids.push_back(assertion_id);
  // Parsing the document takes time that the lock (site-wide with memcache)
  // need not wait for.
  ResponseLimits limits = response_limits(a, getattr(self, names::saml_auth).get());

  Ref lock = call_method(getattr(self, names::responses_tracker).get(), names::lock);
  vs::with_block(lock.get(), [&] {
    for (const Ref& id : ids) {
      Ref seen = call_method(getattr(self, names::responses_tracker).get(), names::is_seen, {id.get()});
      if (truthy(seen.get())) {
        Ref message = vs::concat({vs::ustr("Detected duplicate SAML response ").get(), one_line::shown(req_id.get()).get()});
        call_method(a.global(names::logging).get(), names::warning, {message.get()});
        vs::raise_new(PyExc_ValueError, "Duplicated SAML response");
      }
    }
    Ref saml_auth = getattr(self, names::saml_auth);
    Ref reported = call_method(saml_auth.get(), names::get_last_assertion_not_on_or_after);
    if (reported.get() == Py_None)
      call_method(a.global(names::logging).get(), names::warning,
                  {vs::ustr("SAMl response without expiration date").get()});
    Ref expiration = record_expiration(a, self, limits, reported.get());
    for (const Ref& id : ids) {
      call_method(getattr(self, names::responses_tracker).get(), names::add, {id.get(), expiration.get()});
    }
    call_method(getattr(self, names::responses_tracker).get(), names::cleanup_expired);
  });
  return vs::none();
}

}  // namespace SamlIDPConfig

}  // namespace saml
