// The comparison of the SAML values of a response with every host user:
// the hot part of a login (every host user is visited), done without making
// objects where the values are plain str.
#include <cstring>

#include "saml.hpp"
#include "../glue/one_line.hpp"
#include "../glue/siblings.hpp"

namespace saml {
namespace {

using vs::call_method;
using vs::Caught;
using vs::getitem;
using vs::getattr;
using vs::truthy;
using names::empty;
using names::space;

const vs::Name comparing_attributes{"Comparing SAML attribute %s with User Config attribute %s"};
const vs::Name matches_found{"User Config to SAML matches %s"};
const vs::Name authenticated_user{"Authenticated user %s using SAML value %s."};


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
      Py_ssize_t n = vs::size(saml_values);
      snapshot_.reserve(n);
      for (Py_ssize_t i = 0; i < n; ++i) snapshot_.push_back(saml_value(vs::item(saml_values, i).get()));
      has_snapshot_ = true;
    }
  }

  void visit(PyObject* user_id, PyObject* user_config) {
    UserValue user;
    user.value = getattr(user_config, attribute_name_);
    if (PyUnicode_CheckExact(user.value.get())) {
      user.range = strip_range(user.value.get());
    } else {
      user.stripped = call_method(user.value.get(), names::strip);
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
    Ref iterator = vs::iterate(saml_values_);
    while (Ref item = vs::next(iterator.get())) compare(user_id, user, saml_value(item.get()));
  }

  // Held in C++, where no Python code can reach them.
  Matches take_matches() { return std::move(matches_); }

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
    Ref stripped = v.stripped ? v.stripped : call_method(v.original.get(), names::strip);
    bool equal;
    if (!user.stripped && PyUnicode_CheckExact(stripped.get())) {
      equal = same_text(user.range, stripped.get());
    } else {
      equal = vs::compare(stripped.get(), user.stripped_object().get(), Py_EQ);
    }
    if (equal) matches_.emplace_back(Ref::borrow(user_id), stripped);
  }

  PyObject* saml_values_;
  PyObject* attribute_name_;
  Matches matches_;
  std::vector<SamlValue> snapshot_;
  bool has_snapshot_ = false;
};

}  // namespace

// The SAML values that can identify a user: texts that are not blank. A
// NameID inside an AttributeValue comes from the toolkit as a mapping, and a
// NameID of blanks only (which the toolkit lets through) would strip to "",
// the value of every host user whose attribute is unset.
Ref text_values(PyObject* values, Py_ssize_t& count) {
  Ref kept = vs::new_list();
  Ref iterator = vs::iterate(values);
  while (Ref value = vs::next(iterator.get())) {
    if (!PyUnicode_Check(value.get())) continue;
    bool blank;
    if (PyUnicode_CheckExact(value.get())) {
      StrippedText range = strip_range(value.get());
      blank = range.start == range.end;
    } else {
      blank = !truthy(call_method(value.get(), names::strip).get());
    }
    if (blank) continue;
    vs::append(kept.get(), value.get());
    ++count;
  }
  return kept;
}

// Every (user id, user config) of the host's users through the matcher.
Matches match_users(PyObject* users, PyObject* saml_values, PyObject* attribute_name) {
  UserMatcher matcher(saml_values, attribute_name);
  vs::for_each_item(users, [&](const Ref& user_id, const Ref& user_config) {
    matcher.visit(user_id.get(), user_config.get());
  });
  return matcher.take_matches();
}

// The matches as the log line shows them: a list of (user id, value) tuples.
// A copy, which a logging filter may rewrite as it likes (redacting in place
// is common).
Ref matches_list(const Matches& matches) {
  Ref list = vs::new_list();
  for (const auto& [user_id, value] : matches) vs::append(list.get(), vs::tuple_of({user_id.get(), value.get()}).get());
  return list;
}

namespace SamlIDPConfig {

// SamlIDPConfig.get_sso_user_id(self)
Ref get_sso_user_id(const Args& a) {
  try {
    return call_method(getattr(a[0], names::saml_auth).get(), names::get_nameid);
  } catch (const vs::PyError&) {
    Caught e(PyExc_Exception);
    Ref message =
        vs::concat({vs::ustr("The sso_user_id was not acquired from 'NameID' attribute in SAML response due to ").get(),
                    vs::text(e.get()).get(), vs::ustr(". Empty string is used instead.").get()});
    call_method(a.global(names::log).get(), names::warning, {message.get()});
    return Ref::borrow(empty);
  }
}

// SamlIDPConfig.get_user_id(self)
Ref get_user_id(const Args& a) {
  PyObject* self = a[0];
  Ref saml_attributes = call_method(getattr(self, names::saml_auth).get(), names::get_attributes);
  Ref name_id = call_method(getattr(self, names::saml_auth).get(), names::get_nameid);
  vs::setitem(saml_attributes.get(), names::NameID, name_id.get());
  // An IdP of a federation: only the values in its scopes count.
  Ref idp_config = vs::getattr_opt(self, names::idp_config);
  if (idp_config && PyDict_Check(idp_config.get()) && vs::dict_get(idp_config.get(), names::federation_entity)) {
    Ref federation = siblings::get(siblings::federation);
    saml_attributes = vs::call(getattr(federation.get(), names::scoped_attributes).get(),
                               {idp_config.get(), saml_attributes.get(), getattr(self, names::saml_auth_attribute).get()});
  }
  return call_method(self, names::_get_mapped_user_id, {saml_attributes.get()});
}

// SamlIDPConfig._get_mapped_user_id(self, attributes)
Ref _get_mapped_user_id(const Args& a) {
  PyObject* self = a[0];
  PyObject* attributes = a[1];

  call_method(a.global(names::log).get(), names::debug, {attributes});

  Ref saml_auth_attribute = getattr(self, names::saml_auth_attribute);
  if (!vs::contains(attributes, saml_auth_attribute.get())) {
    Ref log = a.global(names::log);
    call_method(log.get(), names::warning, {vs::ustr("Missing expected attribute in SAML response.").get()});
    Ref available = one_line::shown(vs::join(space, attributes).get());
    call_method(log.get(), names::debug,
                {vs::ustr("Missing expected attribute %s in SAML response. Available: %s").get(),
                 saml_auth_attribute.get(), available.get()});
    vs::raise_new(PyExc_ValueError, "Missing expected attribute in SAML response.");
  }

  Ref user_config_attribute = getattr(self, names::user_config_attribute);
  Ref allowed = getattr(a.global(names::UserConfig).get(), names::allowed_sso_keys);
  if (!vs::contains(allowed.get(), user_config_attribute.get())) {
    Ref log = a.global(names::log);
    call_method(log.get(), names::warning,
                {vs::ustr("Invalid user config attribute is used in the identity provider configuration.").get()});
    Ref idp_name = getitem(getattr(self, names::idp_config).get(), names::idp_name);
    call_method(log.get(), names::debug,
                {vs::ustr("Invalid user config attribute %s is used for identity provider %s").get(),
                 user_config_attribute.get(), idp_name.get()});
    vs::raise_new(PyExc_ValueError, "Invalid user config attribute.");
  }

  call_method(a.global(names::log).get(), names::debug,
              {comparing_attributes, saml_auth_attribute.get(), user_config_attribute.get()});

  Ref saml_values = getitem(attributes, saml_auth_attribute.get());
  if (saml_values.get() == Py_None) {
    // No NameID in the response (or an attribute without value): nothing to
    // compare, reported as such rather than as a failed `strip`.
    saml_values = vs::new_list();
  } else if (!PyList_Check(saml_values.get())) {
    Ref single = vs::check(PyList_New(1));
    PyList_SET_ITEM(single.get(), 0, Py_NewRef(saml_values.get()));
    saml_values = single;
  }
  Py_ssize_t value_count = 0;
  saml_values = text_values(saml_values.get(), value_count);
  if (value_count == 0) {
    Ref message = vs::concat({vs::ustr("Missing values in SAML attribute ").get(),
                              vs::text(saml_auth_attribute.get()).get(), vs::ustr(".").get()});
    vs::raise_new(PyExc_ValueError, message.get());
  }
  saml_values = call_method(self, names::match_saml_regex, {saml_values.get()});

  // Looked up by this name on every user: interned, the lookups compare
  // pointers.
  Ref attribute_name = user_config_attribute;
  if (PyUnicode_CheckExact(attribute_name.get())) {
    PyObject* name = attribute_name.release();
    PyUnicode_InternInPlace(&name);
    attribute_name = vs::check(name);
  }
  Matches matches = match_users(getattr(self, names::users).get(), saml_values.get(), attribute_name.get());

  call_method(a.global(names::log).get(), names::debug, {matches_found, matches_list(matches).get()});

  Ref matched_users = vs::check(PySet_New(nullptr));
  for (const auto& match : matches) vs::check_status(PySet_Add(matched_users.get(), match.first.get()));
  Py_ssize_t matched_users_cnt = PySet_GET_SIZE(matched_users.get());
  if (matched_users_cnt == 0) {
    call_method(a.global(names::log).get(), names::warning, {vs::ustr("User not found for the SAML response.").get()});
    vs::raise_new(PyExc_ValueError, "User not found for the SAML response.");
  }
  if (matched_users_cnt > 1) vs::raise_new(PyExc_ValueError, "More than one user found for the SAML response.");
  const auto& [matched_user_id, matched_saml_value] = matches.front();
  call_method(a.global(names::log).get(), names::debug,
              {authenticated_user, matched_user_id.get(), matched_saml_value.get()});
  return matched_user_id;
}

// SamlIDPConfig.match_saml_regex(self, saml_values)
Ref match_saml_regex(const Args& a) {
  PyObject* self = a[0];
  PyObject* saml_values = a[1];
  Ref regex_text = getattr(self, names::saml_auth_regex);
  if (!truthy(regex_text.get())) return Ref::borrow(saml_values);
  Ref pattern = call_method(a.global(names::re).get(), names::compile, {getattr(self, names::saml_auth_regex).get()});
  Ref kept = vs::new_list();
  Ref iterator = vs::iterate(saml_values);
  while (Ref value = vs::next(iterator.get())) {
    Ref match = call_method(pattern.get(), names::match, {value.get()});
    if (truthy(match.get())) vs::append(kept.get(), value.get());
  }
  return kept;
}

}  // namespace SamlIDPConfig

}  // namespace saml
