// The algorithms a ds:Transform or ds:CanonicalizationMethod may name, in a
// posted response and in signed IdP metadata alike. libxmlsec1 runs whatever
// a signature names (XSLT, XPath, XPointer, ...) before it knows whether the
// signature is valid, so a document from anyone could make it run a
// stylesheet whose output doubles at every level.
#pragma once

#include <string>

namespace signature_transforms {

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

// An XPath expression (prefix ds) true when the document names a transform
// or canonicalization outside the list, or more than kMaxTransforms.
inline std::string refused_expression() {
  std::string allowed;
  for (const char* algorithm : kAllowedAlgorithms) {
    if (!allowed.empty()) allowed += " or ";
    allowed += "@Algorithm='";
    allowed += algorithm;
    allowed += "'";
  }
  return "count(//ds:Transform) > " + std::to_string(kMaxTransforms) + " or //ds:Transform[not(" + allowed +
         ")] or //ds:CanonicalizationMethod[not(" + allowed + ")]";
}

}  // namespace signature_transforms
