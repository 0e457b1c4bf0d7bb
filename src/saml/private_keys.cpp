// Private keys kept out of the log lines that show an IdP's settings.
#include <cctype>
#include <string>

#include "saml.hpp"

namespace saml {

using vs::setitem;
namespace {

// ---- private keys kept out of the log ------------------------------------------

const vs::Name private_key_hidden{"<private key hidden>"};
// Deeper than any toolkit settings mapping; guards against a mapping that
// holds itself.
constexpr int kDeepestSettings = 16;

std::string lower_utf8(PyObject* text) {
  const char* utf8 = PyUnicode_AsUTF8(text);
  if (!utf8) {
    // Lone surrogates: nothing a key name or a PEM text holds.
    PyErr_Clear();
    return std::string();
  }
  std::string lowered(utf8);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lowered;
}

// "privateKey" of the toolkit's SP settings, and any other key named for a
// private key (a later toolkit's "privateKeyNew", a host's own names).
bool names_private_key(PyObject* key) {
  if (!PyUnicode_Check(key)) return false;
  std::string name = lower_utf8(key);
  return name.find("privatekey") != std::string::npos || name.find("private_key") != std::string::npos;
}

// A PEM private key wherever it was put (a certificate field filled with the
// key file by mistake).
bool holds_private_key(PyObject* value) {
  if (PyBytes_Check(value)) {
    std::string bytes(PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value)));
    return bytes.find("PRIVATE KEY-----") != std::string::npos;
  }
  return PyUnicode_Check(value) && lower_utf8(value).find("private key-----") != std::string::npos;
}

// A copy of the settings as the debug line shows them: every private key
// replaced by a fixed marker.
}  // namespace

Ref without_private_keys(PyObject* value, int depth) {
  if (depth > kDeepestSettings) return vs::ustr("...");
  if (PyDict_Check(value)) {
    Ref copy = vs::new_dict();
    vs::for_each_item(value, [&](const Ref& key, const Ref& item) {
      Ref shown = names_private_key(key.get()) ? Ref::borrow(private_key_hidden)
                                               : without_private_keys(item.get(), depth + 1);
      setitem(copy.get(), key.get(), shown.get());
    });
    return copy;
  }
  if (PyList_Check(value) || PyTuple_Check(value)) {
    Ref copy = vs::new_list();
    Ref iterator = vs::iterate(value);
    while (Ref item = vs::next(iterator.get()))
      vs::append(copy.get(), without_private_keys(item.get(), depth + 1).get());
    return PyTuple_Check(value) ? vs::check(PySequence_Tuple(copy.get())) : copy;
  }
  if (holds_private_key(value)) return Ref::borrow(private_key_hidden);
  return Ref::borrow(value);
}

}  // namespace saml
