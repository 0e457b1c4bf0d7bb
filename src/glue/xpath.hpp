// XPath expressions compiled with lxml, for the plug-in's own reads of SAML
// messages and metadata: one map of the prefixes they are written with.
#pragma once

#include <string>

#include "../pyobj/pyobj.hpp"

namespace xpath {

// lxml.etree.XPath(expression, namespaces=...) with the prefixes ds, md,
// mdrpi, mdui, saml, samlp and shibmd. An XPath object serialises its own
// calls (a lock of lxml's), so one may be shared by every thread.
vs::Ref compile(const std::string& expression);

}  // namespace xpath
