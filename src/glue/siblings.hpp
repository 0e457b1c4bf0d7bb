// The plug-in's sibling modules, reached from C++ as `import` reaches them:
// the module sys.modules holds, imported at its first use.
#pragma once

#include "../pyobj/pyobj.hpp"

namespace siblings {

inline const vs::Name audit{"velmora_saml.audit"};
inline const vs::Name discovery{"velmora_saml.discovery"};
inline const vs::Name federation{"velmora_saml.federation"};
inline const vs::Name federation_refresh{"velmora_saml.federation_refresh"};
inline const vs::Name idp_metadata{"velmora_saml.idp_metadata"};
inline const vs::Name idp_report{"velmora_saml.idp_report"};
inline const vs::Name login_policy{"velmora_saml.login_policy"};
inline const vs::Name logout{"velmora_saml.logout"};
inline const vs::Name replay_store{"velmora_saml.replay_store"};
inline const vs::Name saml{"velmora_saml.saml"};
inline const vs::Name toolkit_caches{"velmora_saml.toolkit_caches"};

vs::Ref get(const vs::Name& module_name, vs::Site site = {});

}  // namespace siblings
