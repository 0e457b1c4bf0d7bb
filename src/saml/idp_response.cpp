// SamlIDPConfig, response side: process_saml_response and the replay check,
// user identification, and the return-to URL.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "saml.hpp"

namespace saml {
namespace {

using vs::call;
using vs::call_method;
using vs::fetch_exception;
using vs::getattr;
using vs::getitem;
using vs::intern;
using vs::truthy;

constexpr const char* kFile = "velmora_saml/idp_response.cpp";

// `raise ValueError(message)` with a constant message.
[[noreturn]] void raise_value_error(const char* message) { vs::raise_new(PyExc_ValueError, intern(message)); }

// `a == b` / `a != b` as the operators give it (no identity shortcut).
bool python_equal(PyObject* a, PyObject* b, int op = Py_EQ) {
  Ref result = vs::check(PyObject_RichCompare(a, b, op));
  return truthy(result.get());
}

// `with manager: body()` as the interpreter runs it: __enter__ and __exit__
// are taken from the type, the block's exception is handed to __exit__
// (which could suppress it) and otherwise re-raised unchanged.
template <class Body>
void with_block(PyObject* manager, Body body) {
  static PyObject* const k_enter = intern("__enter__");
  static PyObject* const k_exit = intern("__exit__");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(manager));
  Ref enter = vs::getattr_opt(type, k_enter);
  if (!enter) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                 Py_TYPE(manager)->tp_name);
    throw vs::PyError{};
  }
  Ref exit = vs::getattr_opt(type, k_exit);
  if (!exit) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                 Py_TYPE(manager)->tp_name);
    throw vs::PyError{};
  }
  call(enter.get(), {manager});
  try {
    body();
  } catch (const vs::PyError&) {
    Ref exc = fetch_exception();
    vs::HandlingException handling(exc.get());
    Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
    Ref suppress = call(exit.get(), {manager, reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                                     traceback ? traceback.get() : Py_None});
    if (truthy(suppress.get())) return;
    vs::reraise(exc);
  }
  call(exit.get(), {manager, Py_None, Py_None, Py_None});
}

// ---- signature transforms of a posted response -----------------------------

// The only algorithms a ds:Transform or ds:CanonicalizationMethod of a
// posted response may name. libxmlsec1 runs whatever a signature names (XSLT,
// XPath, XPointer, ...) before it knows whether the signature is valid, so an
// unauthenticated POST could make it run a stylesheet whose output doubles
// at every level: seconds of CPU and gigabytes per request.
constexpr const char* kAllowedAlgorithms[] = {
    "http://www.w3.org/2000/09/xmldsig#enveloped-signature",
    "http://www.w3.org/2001/10/xml-exc-c14n#",
    "http://www.w3.org/2001/10/xml-exc-c14n#WithComments",
    "http://www.w3.org/TR/2001/REC-xml-c14n-20010315",
    "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments",
    "http://www.w3.org/2006/12/xml-c14n11",
    "http://www.w3.org/2006/12/xml-c14n11#WithComments",
};
// A genuine response has two per signature and at most two signatures.
constexpr int kMaxTransforms = 10;

// One compiled XPath answers the whole question inside libxml2, without a
// Python object per node. Its value is the sum of these flags:
constexpr long kTransformRefused = 1;
constexpr long kEncryptedAssertion = 2;  // its signature shows only after decryption

std::string transform_verdict_expression() {
  std::string allowed;
  for (const char* algorithm : kAllowedAlgorithms) {
    if (!allowed.empty()) allowed += " or ";
    allowed += "@Algorithm='";
    allowed += algorithm;
    allowed += "'";
  }
  return "number(count(//ds:Transform) > " + std::to_string(kMaxTransforms) + " or //ds:Transform[not(" + allowed +
         ")] or //ds:CanonicalizationMethod[not(" + allowed +
         ")]) + 2 * number(boolean(/samlp:Response/saml:EncryptedAssertion))";
}

// The confirmation method the toolkit checks times of (a SubjectConfirmation
// without Method counts as one too).
constexpr const char* kBearerConfirmations =
    "/samlp:Response/saml:Assertion/saml:Subject/saml:SubjectConfirmation"
    "[not(@Method) or @Method='' or @Method='urn:oasis:names:tc:SAML:2.0:cm:bearer']"
    "/saml:SubjectConfirmationData[1]";

// Process-wide objects of the response checks, made on first use (leaked on
// purpose, like the interned names). Built without a C++ static guard:
// another thread may run Python code in between, and would block on the
// guard with the GIL.
struct ResponseTools {
  PyObject* verdict = nullptr;           // lxml.etree.XPath of the transform check
  PyObject* bearer_limits = nullptr;     // the NotOnOrAfter texts of bearer confirmations
  PyObject* unlimited_bearer = nullptr;  // whether a bearer confirmation has none
  PyObject* condition_limits = nullptr;  // the NotOnOrAfter texts of the Conditions
  PyObject* utils_class = nullptr;       // OneLogin_Saml2_Utils: the toolkit's base64 decoding
  PyObject* xml_class = nullptr;         // OneLogin_Saml2_XML: the toolkit's hardened parser
  PyObject* constants_class = nullptr;   // OneLogin_Saml2_Constants: its allowed clock drift
};

const ResponseTools& response_tools() {
  static ResponseTools tools;
  if (tools.verdict) return tools;
  Ref etree = vs::check(PyImport_ImportModule("lxml.etree"));
  Ref utils_module = vs::check(PyImport_ImportModule("onelogin.saml2.utils"));
  Ref xml_module = vs::check(PyImport_ImportModule("onelogin.saml2.xml_utils"));
  Ref constants_module = vs::check(PyImport_ImportModule("onelogin.saml2.constants"));
  Ref utils_class = getattr(utils_module.get(), intern("OneLogin_Saml2_Utils"));
  Ref xml_class = getattr(xml_module.get(), intern("OneLogin_Saml2_XML"));
  Ref constants_class = getattr(constants_module.get(), intern("OneLogin_Saml2_Constants"));
  Ref namespaces = vs::check(PyDict_New());
  vs::setitem(namespaces.get(), intern("ds"), intern("http://www.w3.org/2000/09/xmldsig#"));
  vs::setitem(namespaces.get(), intern("samlp"), intern("urn:oasis:names:tc:SAML:2.0:protocol"));
  vs::setitem(namespaces.get(), intern("saml"), intern("urn:oasis:names:tc:SAML:2.0:assertion"));
  Ref xpath_class = getattr(etree.get(), intern("XPath"));
  Ref kwnames = vs::tuple_of({intern("namespaces")});
  auto compile = [&](const std::string& expression) {
    return vs::call_kw(xpath_class.get(), {vs::ustr(expression.c_str()).get(), namespaces.get()}, kwnames.get());
  };
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
  double number = PyFloat_AsDouble(value.get());
  if (number == -1.0 && PyErr_Occurred()) throw vs::PyError{};
  return static_cast<long>(number);
}

// Runs `step` (which reports whether it found something to check) with
// every `Exception` it raises taken as "nothing to check": what the check
// cannot read is left to the toolkit, which reports it as before.
template <class Step>
bool leave_failures_to_toolkit(Step step) {
  try {
    return step();
  } catch (const vs::PyError&) {
    Ref exc = fetch_exception();
    if (!vs::exception_matches(exc.get(), PyExc_Exception)) vs::reraise(exc);
    return false;
  }
}

// Refuses a posted response whose signatures name a transform outside the
// allow-list, before the toolkit sees it: the same form field, the same
// base64 decoding and the same hardened parser as the toolkit's.
void refuse_unsafe_transforms(PyObject* self) {
  static PyObject* const k_request = intern("request");
  static PyObject* const k_post_data = intern("post_data");
  static PyObject* const k_saml_response = intern("SAMLResponse");
  static PyObject* const k_b64decode = intern("b64decode");
  static PyObject* const k_to_etree = intern("to_etree");
  const ResponseTools& tools = response_tools();
  Ref posted, document;
  bool not_text = false;
  bool readable = leave_failures_to_toolkit([&] {
    Ref request = getattr(self, k_request);
    if (!vs::contains(request.get(), k_post_data)) return false;
    Ref post_data = getitem(request.get(), k_post_data);
    if (!vs::contains(post_data.get(), k_saml_response)) return false;
    posted = getitem(post_data.get(), k_saml_response);
    // A multipart post can send the field as a file: the toolkit would fail
    // on it with a TypeError, a server error for a request anyone can make.
    not_text = !PyUnicode_Check(posted.get()) && !PyBytes_Check(posted.get());
    if (not_text) return false;
    Ref decoded = call_method(tools.utils_class, k_b64decode, {posted.get()});
    document = call_method(tools.xml_class, k_to_etree, {decoded.get()});
    return true;
  });
  if (not_text) raise_value_error("Invalid SAML response: SAMLResponse is not a form field");
  if (!readable) return;
  long verdict = transform_verdict(document.get());
  if (verdict == kEncryptedAssertion) {
    // The toolkit decrypts an encrypted assertion before it checks the
    // assertion's signature: decrypt it the toolkit's way and look at what
    // the toolkit will see.
    static PyObject* const k_saml_auth = intern("saml_auth");
    static PyObject* const k_response_class = intern("response_class");
    static PyObject* const k_get_settings = intern("get_settings");
    static PyObject* const k_decrypted_document = intern("decrypted_document");
    Ref decrypted;
    bool decrypted_ok = leave_failures_to_toolkit([&] {
      Ref saml_auth = getattr(self, k_saml_auth);
      Ref response_class = getattr(saml_auth.get(), k_response_class);
      Ref settings = call_method(saml_auth.get(), k_get_settings);
      Ref response = call(response_class.get(), {settings.get(), posted.get()});
      decrypted = getattr(response.get(), k_decrypted_document);
      return decrypted.get() != Py_None;
    });
    if (!decrypted_ok) return;
    verdict = transform_verdict(decrypted.get());
  }
  if (verdict & kTransformRefused) raise_value_error("Invalid SAML response: unsupported signature transform");
}

// Whether an exception of the toolkit's processing is a failure on the
// posted message, which anyone can make the toolkit raise: its own errors
// (OneLogin_Saml2_Error, and OneLogin_Saml2_ValidationError, which is no
// subclass of it), lxml's XMLSyntaxError, xmlsec.Error, and the KeyError or
// TypeError of a document it does not expect (an EncryptedAssertion with odd
// KeyInfo). What says the process itself is in trouble goes to the host.
bool failure_on_the_message(PyObject* exc) {
  return vs::exception_matches(exc, PyExc_Exception) && !vs::exception_matches(exc, PyExc_RuntimeError) &&
         !vs::exception_matches(exc, PyExc_MemoryError);
}

// The error line of a posted message the toolkit failed on:
// "Invalid SAML response: <module>.<class>: <text>".
void log_invalid_response(const Args& a, PyObject* exc) {
  static PyObject* const k_module = intern("__module__");
  static PyObject* const k_qualname = intern("__qualname__");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Ref module = vs::text(getattr(type, k_module).get());
  Ref qualname = vs::text(getattr(type, k_qualname).get());
  Ref message = vs::concat({intern("Invalid SAML response: "), module.get(), intern("."), qualname.get(),
                            intern(": "), vs::str(exc).get()});
  call_method(module_name(a, "log").get(), intern("error"), {message.get()});
}

// SamlIDPConfig.process_saml_response(self)
Ref process_saml_response(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_saml_auth = intern("saml_auth");
  static PyObject* const k_process_response = intern("process_response");
  static PyObject* const k_get_errors = intern("get_errors");
  static PyObject* const k_get_last_error_reason = intern("get_last_error_reason");
  static PyObject* const k_reject_duplicated_response = intern("reject_duplicated_response");
  static PyObject* const k_is_authenticated = intern("is_authenticated");
  refuse_unsafe_transforms(self);
  try {
    call_method(getattr(self, k_saml_auth).get(), k_process_response);
  } catch (const vs::PyError&) {
    Ref caught = fetch_exception();
    vs::HandlingException handling(caught.get());
    Ref error_class = module_name(a, "OneLogin_Saml2_Error");
    if (!vs::exception_matches(caught.get(), error_class.get()) && !failure_on_the_message(caught.get()))
      vs::reraise(caught);
    log_invalid_response(a, caught.get());
    vs::raise_in_handler(caught.get(), call(PyExc_ValueError, {caught.get()}), true);
  }
  Ref errors = call_method(getattr(self, k_saml_auth).get(), k_get_errors);
  if (truthy(errors.get())) {
    Ref reason = call_method(getattr(self, k_saml_auth).get(), k_get_last_error_reason);
    Ref reason_text = vs::text(reason.get());
    Ref codes = vs::join(intern(""), errors.get());
    vs::raise_new(PyExc_ValueError, vs::concat({reason_text.get(), intern(" "), codes.get()}).get());
  }
  call_method(self, k_reject_duplicated_response);
  Ref authenticated = call_method(getattr(self, k_saml_auth).get(), k_is_authenticated);
  if (!truthy(authenticated.get())) raise_value_error("Not authenticated");
  return vs::none();
}

// ---- how long a response stays recorded -------------------------------------

// parse_SAML_to_time(text) of the toolkit, or an empty Ref for a text it
// cannot read: the toolkit fails every response whose limits it reads and
// cannot parse, so such a limit never let one in.
Ref saml_time(const Args& a, PyObject* text) {
  static PyObject* const k_parse_SAML_to_time = intern("parse_SAML_to_time");
  try {
    return call_method(module_name(a, "OneLogin_Saml2_Utils").get(), k_parse_SAML_to_time, {text});
  } catch (const vs::PyError&) {
    Ref caught = fetch_exception();
    if (!vs::exception_matches(caught.get(), PyExc_Exception)) vs::reraise(caught);
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

// The time limits of the response the toolkit has just accepted, as the
// toolkit checks them. In strict mode it wants the Conditions' NotOnOrAfter
// plus its allowed clock drift still ahead, and one bearer
// SubjectConfirmation whose data has no NotOnOrAfter or one still ahead;
// otherwise it checks no time at all. Read from the toolkit's document of
// the response (decrypted), outside the tracker's lock.
struct ResponseLimits {
  bool strict = false;
  bool read = false;                      // whether the toolkit had a document
  bool unlimited_confirmation = false;    // a bearer confirmation without NotOnOrAfter
  Ref confirmed_until = vs::none();       // the latest NotOnOrAfter of the others
  Ref conditions_until = vs::none();      // the Conditions' NotOnOrAfter plus the drift
};

ResponseLimits response_limits(const Args& a, PyObject* saml_auth) {
  static PyObject* const k_get_settings = intern("get_settings");
  static PyObject* const k_is_strict = intern("is_strict");
  static PyObject* const k_get_last_response_xml = intern("get_last_response_xml");
  static PyObject* const k_to_etree = intern("to_etree");
  static PyObject* const k_allowed_clock_drift = intern("ALLOWED_CLOCK_DRIFT");
  const ResponseTools& tools = response_tools();
  ResponseLimits limits;
  Ref settings = call_method(saml_auth, k_get_settings);
  limits.strict = truthy(call_method(settings.get(), k_is_strict).get());
  if (!limits.strict) return limits;
  Ref xml = call_method(saml_auth, k_get_last_response_xml);
  limits.read = PyUnicode_Check(xml.get()) || PyBytes_Check(xml.get());
  if (!limits.read) return limits;
  Ref document = call_method(tools.xml_class, k_to_etree, {xml.get()});
  auto each_time = [&](PyObject* xpath, auto visit) {
    Ref texts = vs::check(PyObject_GetIter(call(xpath, {document.get()}).get()));
    while (Ref text = Ref::steal(PyIter_Next(texts.get()))) {
      if (Ref time = saml_time(a, text.get())) visit(time);
    }
    if (PyErr_Occurred()) throw vs::PyError{};
  };
  limits.unlimited_confirmation = truthy(call(tools.unlimited_bearer, {document.get()}).get());
  each_time(tools.bearer_limits,
            [&](const Ref& time) { limits.confirmed_until = pick_limit(limits.confirmed_until, time, Py_GT); });
  Ref drift = getattr(tools.constants_class, k_allowed_clock_drift);
  each_time(tools.condition_limits, [&](const Ref& time) {
    limits.conditions_until =
        pick_limit(limits.conditions_until, vs::check(PyNumber_Add(time.get(), drift.get())), Py_GT);
  });
  return limits;
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

// Until when the processed response is recorded as seen: the moment after
// which the toolkit refuses it anyway, or, when there is none, for
// UNBOUNDED_RESPONSE_RECORD_LIFETIME seconds.
Ref record_expiration(const Args& a, PyObject* self, const ResponseLimits& limits, PyObject* reported) {
  static PyObject* const k_time = intern("time");
  static PyObject* const k_lifetime = intern("UNBOUNDED_RESPONSE_RECORD_LIFETIME");
  Ref limit = acceptance_limit(limits, reported);
  if (limit.get() != Py_None) return limit;
  Ref now = call_method(module_name(a, "time").get(), k_time);
  return vs::check(PyNumber_Add(now.get(), getattr(self, k_lifetime).get()));
}

// SamlIDPConfig.reject_duplicated_response(self)
Ref reject_duplicated_response(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_responses_tracker = intern("responses_tracker");
  static PyObject* const k_saml_auth = intern("saml_auth");
  static PyObject* const k_get_last_message_id = intern("get_last_message_id");
  static PyObject* const k_get_last_assertion_id = intern("get_last_assertion_id");
  static PyObject* const k_get_last_assertion_not_on_or_after = intern("get_last_assertion_not_on_or_after");
  static PyObject* const k_lock = intern("lock");
  static PyObject* const k_is_seen = intern("is_seen");
  static PyObject* const k_add = intern("add");
  static PyObject* const k_cleanup_expired = intern("cleanup_expired");
  static PyObject* const k_warning = intern("warning");
  if (!truthy(getattr(self, k_responses_tracker).get())) {
    vs::raise_new(PyExc_RuntimeError, intern("SAML response tracker is not set"));
  }
  Ref req_id = call_method(getattr(self, k_saml_auth).get(), k_get_last_message_id);
  // The Response ID alone is not enough: an IdP that signs only the
  // assertion leaves the Response ID unsigned, and a captured assertion
  // re-wrapped under a fresh Response ID would pass as new.
  Ref assertion_id = call_method(getattr(self, k_saml_auth).get(), k_get_last_assertion_id);
  std::vector<Ref> ids{req_id};
  if (truthy(assertion_id.get()) && python_equal(assertion_id.get(), req_id.get(), Py_NE)) ids.push_back(assertion_id);
  // Parsing the document takes time that the lock (site-wide with memcache)
  // need not wait for.
  ResponseLimits limits = response_limits(a, getattr(self, k_saml_auth).get());

  Ref lock = call_method(getattr(self, k_responses_tracker).get(), k_lock);
  with_block(lock.get(), [&] {
    for (const Ref& id : ids) {
      Ref seen = call_method(getattr(self, k_responses_tracker).get(), k_is_seen, {id.get()});
      if (truthy(seen.get())) {
        Ref message = vs::concat({intern("Detected duplicate SAML response "), vs::text(req_id.get()).get()});
        call_method(module_name(a, "logging").get(), k_warning, {message.get()});
        raise_value_error("Duplicated SAML response");
      }
    }
    Ref saml_auth = getattr(self, k_saml_auth);
    Ref reported = call_method(saml_auth.get(), k_get_last_assertion_not_on_or_after);
    if (reported.get() == Py_None)
      call_method(module_name(a, "logging").get(), k_warning, {intern("SAMl response without expiration date")});
    Ref expiration = record_expiration(a, self, limits, reported.get());
    for (const Ref& id : ids) {
      call_method(getattr(self, k_responses_tracker).get(), k_add, {id.get(), expiration.get()});
    }
    call_method(getattr(self, k_responses_tracker).get(), k_cleanup_expired);
  });
  return vs::none();
}

// ---- user identification --------------------------------------------------

// SamlIDPConfig.get_sso_user_id(self)
Ref get_sso_user_id(const Args& a) {
  static PyObject* const k_saml_auth = intern("saml_auth");
  static PyObject* const k_get_nameid = intern("get_nameid");
  try {
    return call_method(getattr(a[0], k_saml_auth).get(), k_get_nameid);
  } catch (const vs::PyError&) {
    Ref caught = fetch_exception();
    if (!vs::exception_matches(caught.get(), PyExc_Exception)) vs::reraise(caught);
    vs::HandlingException handling(caught.get());
    Ref message = vs::concat(
        {intern("The sso_user_id was not acquired from 'NameID' attribute in SAML response due to "),
         vs::text(caught.get()).get(), intern(". Empty string is used instead.")});
    call_method(module_name(a, "log").get(), intern("warning"), {message.get()});
    return Ref::borrow(intern(""));
  }
}

// SamlIDPConfig.get_user_id(self)
Ref get_user_id(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_saml_auth = intern("saml_auth");
  static PyObject* const k_get_attributes = intern("get_attributes");
  static PyObject* const k_get_nameid = intern("get_nameid");
  static PyObject* const k_name_id = intern("NameID");
  static PyObject* const k_get_mapped_user_id = intern("_get_mapped_user_id");
  Ref saml_attributes = call_method(getattr(self, k_saml_auth).get(), k_get_attributes);
  Ref name_id = call_method(getattr(self, k_saml_auth).get(), k_get_nameid);
  vs::setitem(saml_attributes.get(), k_name_id, name_id.get());
  return call_method(self, k_get_mapped_user_id, {saml_attributes.get()});
}

// What `text.strip()` leaves of an exact str, as a range: no object is made.
struct StrippedText {
  PyObject* text;
  Py_ssize_t start;
  Py_ssize_t end;
};

StrippedText strip_range(PyObject* text) {
  int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Py_ssize_t start = 0;
  Py_ssize_t end = PyUnicode_GET_LENGTH(text);
  while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
  while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
  return {text, start, end};
}

// `a == b` for a stripped exact str and an exact str.
bool same_text(const StrippedText& a, PyObject* b) {
  Py_ssize_t length = a.end - a.start;
  if (length != PyUnicode_GET_LENGTH(b)) return false;
  int kind_a = PyUnicode_KIND(a.text);
  int kind_b = PyUnicode_KIND(b);
  const char* data_a = static_cast<const char*>(PyUnicode_DATA(a.text));
  const void* data_b = PyUnicode_DATA(b);
  if (kind_a == kind_b) return std::memcmp(data_a + a.start * kind_a, data_b, length * kind_a) == 0;
  for (Py_ssize_t i = 0; i < length; ++i) {
    if (PyUnicode_READ(kind_a, data_a, a.start + i) != PyUnicode_READ(kind_b, data_b, i)) return false;
  }
  return true;
}

// One SAML value of the comparison. An exact str is stripped once (the
// result cannot differ between users); anything else has its own `strip`
// called for every user, as the plain loop would.
struct SamlValue {
  Ref original;
  Ref stripped;  // set for an exact str only
};

// One host user's value: an exact str is compared as a range; anything else
// through what its `strip()` returned.
struct UserValue {
  Ref value;
  StrippedText range{nullptr, 0, 0};
  Ref stripped;  // set when `value` is not an exact str

  Ref stripped_object() const {
    if (stripped) return stripped;
    return vs::check(PyUnicode_Substring(range.text, range.start, range.end));
  }
};

// The comparison of all SAML values with all host users (the hot part of a
// login: every host user is visited).
class UserMatcher {
 public:
  UserMatcher(PyObject* saml_values, PyObject* attribute_name)
      : saml_values_(saml_values), attribute_name_(attribute_name) {
    // A list or tuple can be read once; any other iterable is iterated anew
    // for every user, as the nested loop would.
    if (PyList_CheckExact(saml_values) || PyTuple_CheckExact(saml_values)) {
      Ref fast = vs::check(PySequence_Fast(saml_values, ""));
      Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
      snapshot_.reserve(n);
      for (Py_ssize_t i = 0; i < n; ++i) snapshot_.push_back(saml_value(PySequence_Fast_GET_ITEM(fast.get(), i)));
      has_snapshot_ = true;
    }
  }

  void visit(PyObject* user_id, PyObject* user_config) {
    UserValue user;
    user.value = getattr(user_config, attribute_name_);
    if (PyUnicode_CheckExact(user.value.get())) {
      user.range = strip_range(user.value.get());
    } else {
      static PyObject* const k_strip = intern("strip");
      user.stripped = call_method(user.value.get(), k_strip);
    }
    // An empty value is no identity: a user whose attribute is unset ("")
    // never matches.
    if (user.stripped ? PyUnicode_Check(user.stripped.get()) && PyUnicode_GET_LENGTH(user.stripped.get()) == 0
                      : user.range.start == user.range.end)
      return;
    if (has_snapshot_) {
      for (const SamlValue& v : snapshot_) compare(user_id, user, v);
      return;
    }
    Ref iterator = vs::check(PyObject_GetIter(saml_values_));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) compare(user_id, user, saml_value(item.get()));
    if (PyErr_Occurred()) throw vs::PyError{};
  }

  // (user id, stripped SAML value) pairs in discovery order. Held in C++:
  // the list the log line gets is a copy, which a logging filter may
  // rewrite as it likes (redacting in place is common).
  const std::vector<std::pair<Ref, Ref>>& matches() const { return matches_; }

  Ref matches_list() const {
    Ref list = vs::check(PyList_New(0));
    for (const auto& [user_id, value] : matches_)
      vs::check_status(PyList_Append(list.get(), vs::tuple_of({user_id.get(), value.get()}).get()));
    return list;
  }

 private:
  static SamlValue saml_value(PyObject* item) {
    SamlValue v{Ref::borrow(item), Ref()};
    if (PyUnicode_CheckExact(item)) {
      StrippedText range = strip_range(item);
      v.stripped = vs::check(PyUnicode_Substring(item, range.start, range.end));
    }
    return v;
  }

  void compare(PyObject* user_id, const UserValue& user, const SamlValue& v) {
    static PyObject* const k_strip = intern("strip");
    Ref stripped = v.stripped ? v.stripped : call_method(v.original.get(), k_strip);
    bool equal;
    if (!user.stripped && PyUnicode_CheckExact(stripped.get())) {
      equal = same_text(user.range, stripped.get());
    } else {
      equal = python_equal(stripped.get(), user.stripped_object().get());
    }
    if (equal) matches_.emplace_back(Ref::borrow(user_id), stripped);
  }

  PyObject* saml_values_;
  PyObject* attribute_name_;
  std::vector<std::pair<Ref, Ref>> matches_;
  std::vector<SamlValue> snapshot_;
  bool has_snapshot_ = false;
};

// The SAML values that can identify a user: texts that are not blank. A
// NameID inside an AttributeValue comes from the toolkit as a mapping, and a
// NameID of blanks only (which the toolkit lets through) would strip to "",
// the value of every host user whose attribute is unset.
Ref text_values(PyObject* values, Py_ssize_t& count) {
  static PyObject* const k_strip = intern("strip");
  Ref kept = vs::check(PyList_New(0));
  Ref iterator = vs::check(PyObject_GetIter(values));
  while (Ref value = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(value.get())) continue;
    bool blank;
    if (PyUnicode_CheckExact(value.get())) {
      StrippedText range = strip_range(value.get());
      blank = range.start == range.end;
    } else {
      blank = !truthy(call_method(value.get(), k_strip).get());
    }
    if (blank) continue;
    vs::check_status(PyList_Append(kept.get(), value.get()));
    ++count;
  }
  if (PyErr_Occurred()) throw vs::PyError{};
  return kept;
}

// Every (user id, user config) of the host's users through the matcher.
void visit_users(PyObject* users, UserMatcher& matcher) {
  if (PyDict_CheckExact(users)) {
    // The dict itself, without an items view and a tuple per user.
    Py_ssize_t size = PyDict_GET_SIZE(users);
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(users, &position, &key, &value)) {
      Ref user_id = Ref::borrow(key);
      Ref user_config = Ref::borrow(value);
      matcher.visit(user_id.get(), user_config.get());
      if (PyDict_GET_SIZE(users) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        throw vs::PyError{};
      }
    }
    return;
  }
  static PyObject* const k_items = intern("items");
  Ref items = call_method(users, k_items);
  Ref iterator = vs::check(PyObject_GetIter(items.get()));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref user_id, user_config;
    vs::unpack_pair(item.get(), user_id, user_config);
    matcher.visit(user_id.get(), user_config.get());
  }
  if (PyErr_Occurred()) throw vs::PyError{};
}

// SamlIDPConfig._get_mapped_user_id(self, attributes)
Ref get_mapped_user_id(const Args& a) {
  PyObject* self = a[0];
  PyObject* attributes = a[1];
  static PyObject* const k_saml_auth_attribute = intern("saml_auth_attribute");
  static PyObject* const k_user_config_attribute = intern("user_config_attribute");
  static PyObject* const k_allowed_sso_keys = intern("allowed_sso_keys");
  static PyObject* const k_idp_config = intern("idp_config");
  static PyObject* const k_idp_name = intern("idp_name");
  static PyObject* const k_users = intern("users");
  static PyObject* const k_match_saml_regex = intern("match_saml_regex");
  static PyObject* const k_debug = intern("debug");
  static PyObject* const k_warning = intern("warning");

  call_method(module_name(a, "log").get(), k_debug, {attributes});

  Ref saml_auth_attribute = getattr(self, k_saml_auth_attribute);
  if (!vs::contains(attributes, saml_auth_attribute.get())) {
    Ref log = module_name(a, "log");
    call_method(log.get(), k_warning, {intern("Missing expected attribute in SAML response.")});
    Ref available = vs::join(intern(" "), attributes);
    call_method(log.get(), k_debug,
                {intern("Missing expected attribute %s in SAML response. Available: %s"), saml_auth_attribute.get(),
                 available.get()});
    raise_value_error("Missing expected attribute in SAML response.");
  }

  Ref user_config_attribute = getattr(self, k_user_config_attribute);
  Ref allowed = getattr(module_name(a, "UserConfig").get(), k_allowed_sso_keys);
  if (!vs::contains(allowed.get(), user_config_attribute.get())) {
    Ref log = module_name(a, "log");
    call_method(log.get(), k_warning,
                {intern("Invalid user config attribute is used in the identity provider configuration.")});
    Ref idp_name = getitem(getattr(self, k_idp_config).get(), k_idp_name);
    call_method(log.get(), k_debug,
                {intern("Invalid user config attribute %s is used for identity provider %s"),
                 user_config_attribute.get(), idp_name.get()});
    raise_value_error("Invalid user config attribute.");
  }

  call_method(module_name(a, "log").get(), k_debug,
              {intern("Comparing SAML attribute %s with User Config attribute %s"), saml_auth_attribute.get(),
               user_config_attribute.get()});

  Ref saml_values = getitem(attributes, saml_auth_attribute.get());
  if (saml_values.get() == Py_None) {
    // No NameID in the response (or an attribute without value): nothing to
    // compare, reported as such rather than as a failed `strip`.
    saml_values = vs::check(PyList_New(0));
  } else if (!PyList_Check(saml_values.get())) {
    Ref single = vs::check(PyList_New(1));
    PyList_SET_ITEM(single.get(), 0, Py_NewRef(saml_values.get()));
    saml_values = single;
  }
  Py_ssize_t value_count = 0;
  saml_values = text_values(saml_values.get(), value_count);
  if (value_count == 0) {
    Ref message = vs::concat(
        {intern("Missing values in SAML attribute "), vs::text(saml_auth_attribute.get()).get(), intern(".")});
    vs::raise_new(PyExc_ValueError, message.get());
  }
  saml_values = call_method(self, k_match_saml_regex, {saml_values.get()});

  // Looked up by this name on every user: interned, the lookups compare
  // pointers.
  Ref attribute_name = user_config_attribute;
  if (PyUnicode_CheckExact(attribute_name.get())) {
    PyObject* name = attribute_name.release();
    PyUnicode_InternInPlace(&name);
    attribute_name = Ref::steal(name);
  }
  UserMatcher matcher(saml_values.get(), attribute_name.get());
  visit_users(getattr(self, k_users).get(), matcher);
  const auto& matches = matcher.matches();

  call_method(module_name(a, "log").get(), k_debug,
              {intern("User Config to SAML matches %s"), matcher.matches_list().get()});

  Ref matched_users = vs::check(PySet_New(nullptr));
  for (const auto& match : matches) vs::check_status(PySet_Add(matched_users.get(), match.first.get()));
  Py_ssize_t matched_users_cnt = PySet_GET_SIZE(matched_users.get());
  if (matched_users_cnt == 0) {
    call_method(module_name(a, "log").get(), k_warning, {intern("User not found for the SAML response.")});
    raise_value_error("User not found for the SAML response.");
  }
  if (matched_users_cnt > 1) raise_value_error("More than one user found for the SAML response.");
  const auto& [matched_user_id, matched_saml_value] = matches.front();
  call_method(module_name(a, "log").get(), k_debug,
              {intern("Authenticated user %s using SAML value %s."), matched_user_id.get(), matched_saml_value.get()});
  return matched_user_id;
}

// SamlIDPConfig.match_saml_regex(self, saml_values)
Ref match_saml_regex(const Args& a) {
  PyObject* self = a[0];
  PyObject* saml_values = a[1];
  static PyObject* const k_saml_auth_regex = intern("saml_auth_regex");
  static PyObject* const k_compile = intern("compile");
  static PyObject* const k_match = intern("match");
  Ref regex_text = getattr(self, k_saml_auth_regex);
  if (!truthy(regex_text.get())) return Ref::borrow(saml_values);
  Ref pattern = call_method(module_name(a, "re").get(), k_compile, {getattr(self, k_saml_auth_regex).get()});
  Ref kept = vs::check(PyList_New(0));
  Ref iterator = vs::check(PyObject_GetIter(saml_values));
  while (Ref value = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref match = call_method(pattern.get(), k_match, {value.get()});
    if (truthy(match.get())) vs::check_status(PyList_Append(kept.get(), value.get()));
  }
  if (PyErr_Occurred()) throw vs::PyError{};
  return kept;
}

// ---- return URL -----------------------------------------------------------

// Whether urlparse can read the port of a parsed URL. One it cannot read
// (not digits, above 65535) is no port for a browser either: the URL leads
// to an error page instead of the host that was checked.
bool readable_port(PyObject* parsed) {
  static PyObject* const k_port = intern("port");
  try {
    getattr(parsed, k_port);
    return true;
  } catch (const vs::PyError&) {
    Ref caught = fetch_exception();
    if (!vs::exception_matches(caught.get(), PyExc_ValueError)) vs::reraise(caught);
    return false;
  }
}

// Whether a URL text can go into the Location header as it is: printable
// ASCII only. The relay state comes back from the browser decoded, so it may
// hold blanks, controls or non-ASCII characters: WebOb refuses CR/LF in a
// header (an error after the user was already identified), the server cannot
// encode what is not Latin-1, and a browser drops tabs and line feeds that
// urlparse has already dropped before the host check.
bool header_safe(PyObject* url) {
  if (!PyUnicode_Check(url)) return true;
  int kind = PyUnicode_KIND(url);
  const void* data = PyUnicode_DATA(url);
  for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(url); i < n; ++i) {
    Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    if (ch < 0x21 || ch > 0x7e) return false;
  }
  return true;
}

// The path a URL's request is routed by, as a browser sends it and the
// server reads it: backslashes are slashes (a browser's reading of http(s)
// URLs), percent-escapes are decoded (the server routes on the decoded
// path, %2F included), and empty segments, dot segments and a trailing
// slash lead nowhere else. So "/./sso//saml/", "/%73so/saml" and
// "/sso\saml" all come out as "/sso/saml".
std::string routed_path(PyObject* path) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(path, &size);
  if (!text) throw vs::PyError{};
  auto hex_digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string decoded;
  for (Py_ssize_t i = 0; i < size; ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < size && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
      c = static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      i += 2;
    }
    decoded.push_back(c == '\\' ? '/' : c);
  }
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= decoded.size()) {
    size_t end = decoded.find('/', start);
    if (end == std::string::npos) end = decoded.size();
    std::string segment = decoded.substr(start, end - start);
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::string routed;
  for (const std::string& segment : segments) routed += "/" + segment;
  return routed.empty() ? "/" : routed;
}

// SamlIDPConfig.get_return_to_url(self)
Ref get_return_to_url(const Args& a) {
  PyObject* self = a[0];
  static PyObject* const k_raw_request = intern("raw_request");
  static PyObject* const k_post = intern("POST");
  static PyObject* const k_get = intern("get");
  static PyObject* const k_relay_state = intern("RelayState");
  static PyObject* const k_saml_auth = intern("saml_auth");
  static PyObject* const k_redirect_to = intern("redirect_to");
  static PyObject* const k_request = intern("request");
  static PyObject* const k_get_self_host = intern("get_self_host");
  static PyObject* const k_get_self_url = intern("get_self_url");
  static PyObject* const k_netloc = intern("netloc");
  static PyObject* const k_hostname = intern("hostname");
  static PyObject* const k_split = intern("split");
  static PyObject* const k_path = intern("path");
  static PyObject* const k_root = intern("/");
  auto root_url = [&] { return call_method(getattr(self, k_saml_auth).get(), k_redirect_to, {k_root}); };

  Ref post = getattr(getattr(self, k_raw_request).get(), k_post);
  Ref relay_state = call_method(post.get(), k_get, {k_relay_state, intern("")});
  // A file sent under that name (a multipart post) is no URL.
  if (!PyUnicode_Check(relay_state.get()) || !truthy(relay_state.get())) return root_url();

  Ref current_host =
      call_method(module_name(a, "OneLogin_Saml2_Utils").get(), k_get_self_host, {getattr(self, k_request).get()});
  Ref redirect_url;
  Ref redirect_path;
  try {
    redirect_url = call_method(getattr(self, k_saml_auth).get(), k_redirect_to, {relay_state.get()});
    Ref parsed;
    try {
      parsed = call(module_name(a, "urlparse").get(), {redirect_url.get()});
    } catch (const vs::PyError&) {
      // urlparse refuses a malformed bracketed host ("https://[::1"): that
      // is no host of ours, and a login that went through must not end in
      // a server error over the relay state.
      Ref malformed = fetch_exception();
      if (!vs::exception_matches(malformed.get(), PyExc_ValueError)) vs::reraise(malformed);
      Ref error_class = module_name(a, "OneLogin_Saml2_Error");
      vs::raise_in_handler(malformed.get(), call(error_class.get(), {intern("Wrong host in redirect url")}), false);
    }
    // Browsers read a backslash in the authority as a slash: "evil\@good"
    // parses to the host "good" here but leads the browser to "evil".
    bool backslash = vs::contains(getattr(parsed.get(), k_netloc).get(), intern("\\"));
    Ref hostname = getattr(parsed.get(), k_hostname);
    Ref host_parts = call_method(current_host.get(), k_split, {intern(":")});
    Ref bare_host = vs::check(PySequence_GetItem(host_parts.get(), 0));
    if (backslash || !readable_port(parsed.get()) || python_equal(hostname.get(), bare_host.get(), Py_NE)) {
      vs::raise_new(module_name(a, "OneLogin_Saml2_Error").get(), intern("Wrong host in redirect url"));
    }
    if (!header_safe(redirect_url.get())) {
      vs::raise_new(module_name(a, "OneLogin_Saml2_Error").get(), intern("Unsafe characters in redirect url"));
    }
    redirect_path = getattr(parsed.get(), k_path);
  } catch (const vs::PyError&) {
    Ref caught = fetch_exception();
    vs::HandlingException handling(caught.get());
    Ref error_class = module_name(a, "OneLogin_Saml2_Error");
    if (!vs::exception_matches(caught.get(), error_class.get())) vs::reraise(caught);
    call_method(module_name(a, "log").get(), intern("error"), {vs::str(caught.get()).get()});
    return root_url();
  }

  // Never back to the consumer URL, never into the start of a login: the
  // host is ours (checked above, whatever its case or port), so what counts
  // is the path the browser will ask for. A query, parameters, a trailing
  // slash or dot segments do not change where it leads.
  Ref current_url =
      call_method(module_name(a, "OneLogin_Saml2_Utils").get(), k_get_self_url, {getattr(self, k_request).get()});
  Ref current_path = getattr(call(module_name(a, "urlparse").get(), {current_url.get()}).get(), k_path);
  std::string path = routed_path(redirect_path.get());
  if (path == routed_path(current_path.get()) || path.compare(0, 9, "/sso/saml") == 0) return root_url();
  return redirect_url;
}

}  // namespace

const vs::MemberSpec process_saml_response_spec{
    vs::Kind::Method, "process_saml_response", "(self)",
    "\n        Process and validate the SAML Response sent by the IdP.\n        ", process_saml_response, kFile};
const vs::MemberSpec reject_duplicated_response_spec{vs::Kind::Method, "reject_duplicated_response", "(self)",
                                                     "Prevent reply attack by checking is response ID already seen",
                                                     reject_duplicated_response, kFile};
const vs::MemberSpec get_sso_user_id_spec{vs::Kind::Method, "get_sso_user_id", "(self)",
                                          "Returns saml user id from saml NameID attribute.", get_sso_user_id, kFile};
const vs::MemberSpec get_user_id_spec{vs::Kind::Method, "get_user_id", "(self)", nullptr, get_user_id, kFile};
const vs::MemberSpec get_mapped_user_id_spec{
    vs::Kind::Method, "_get_mapped_user_id", "(self, attributes)",
    "Returns user_id whose saml attribute matches mapped value\n\n"
    "        For SAML attribute which has multiple values the first matching is\n"
    "        returned.\n\n        ",
    get_mapped_user_id, kFile};
const vs::MemberSpec match_saml_regex_spec{vs::Kind::Method, "match_saml_regex", "(self, saml_values)",
                                           "Return the saml values that matches the `saml_auth_regex`.\n"
                                           "        If no regex available will return the original values\n        ",
                                           match_saml_regex, kFile};
const vs::MemberSpec get_return_to_url_spec{vs::Kind::Method, "get_return_to_url", "(self)",
                                            "return url of the referrer/relay state/return_to if possible\n\n"
                                            "        on errors, just go to /\n        ",
                                            get_return_to_url, kFile};

}  // namespace saml
