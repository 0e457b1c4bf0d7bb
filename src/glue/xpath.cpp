#include "xpath.hpp"

#include "names.hpp"

namespace xpath {
namespace {

constexpr const char* kPrefixes[][2] = {
    {"ds", "http://www.w3.org/2000/09/xmldsig#"},
    {"md", "urn:oasis:names:tc:SAML:2.0:metadata"},
    {"mdrpi", "urn:oasis:names:tc:SAML:metadata:rpi"},
    {"mdui", "urn:oasis:names:tc:SAML:metadata:ui"},
    {"saml", "urn:oasis:names:tc:SAML:2.0:assertion"},
    {"samlp", "urn:oasis:names:tc:SAML:2.0:protocol"},
    {"shibmd", "urn:mace:shibboleth:metadata:1.0"},
};
const vs::KwNames namespaces_keyword{&names::namespaces};

}  // namespace

vs::Ref compile(const std::string& expression) {
  // Made anew for each expression: expressions are compiled once per
  // process, on first use, so there is nothing to gain from keeping these.
  vs::Ref etree = vs::check(PyImport_ImportModule("lxml.etree"));
  vs::Ref xpath_class = vs::getattr(etree.get(), names::XPath);
  vs::Ref namespaces = vs::new_dict();
  for (const auto& prefix : kPrefixes) vs::setitem(namespaces.get(), vs::ustr(prefix[0]).get(), vs::ustr(prefix[1]).get());
  return vs::call_kw(xpath_class.get(), {vs::ustr(expression.c_str()).get(), namespaces.get()}, namespaces_keyword);
}

}  // namespace xpath
