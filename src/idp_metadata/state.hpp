// What velmora_saml.idp_metadata keeps for the process, in one place. Each
// member is made at its first use, with the GIL held, and kept until the
// process ends (strong references never released, like the interned names).
// Python code reaches none of it except through the module's functions. The
// file named beside a member is the only one that uses it.
#pragma once

#include "../pyobj/pyobj.hpp"

namespace idp_metadata {

// The toolkit's classes and the compiled checks of a fetched document.
struct DocumentTools {
  PyObject* xml_class = nullptr;           // OneLogin_Saml2_XML: the toolkit's hardened parser
  PyObject* utils_class = nullptr;         // OneLogin_Saml2_Utils: times, certificates, signatures
  PyObject* add_ids = nullptr;             // xmlsec.tree.add_ids
  PyObject* transforms_refused = nullptr;  // a transform outside the allow-list anywhere
  PyObject* root_signatures = nullptr;     // from the root: its ds:Signature children
  PyObject* references = nullptr;          // from a signature: its references
  PyObject* signature_method = nullptr;
  PyObject* digest_method = nullptr;
  PyObject* key_info_certs = nullptr;      // from a signature: the certificates it carries
  PyObject* id_count = nullptr;            // how many elements have the ID $id
  PyObject* foreign_children = nullptr;    // from a signature: children other than the three signed for
  PyObject* idp_entities = nullptr;        // the IdP EntityDescriptors the root itself describes
  PyObject* signing_certs = nullptr;       // from an EntityDescriptor: the certificates the toolkit takes for signing
  PyObject* tostring = nullptr;            // lxml.etree.tostring
};

// The compiled queries that cut a federation's document into its IdPs
// (aggregate.cpp).
struct AggregateTools {
  PyObject* want_signed = nullptr;
  PyObject* name_id_format = nullptr;
  PyObject* sso = nullptr;
  PyObject* slo = nullptr;
  PyObject* signing = nullptr;
  PyObject* encryption = nullptr;
  PyObject* scopes = nullptr;
  PyObject* registration = nullptr;
  PyObject* display_names = nullptr;
  PyObject* descriptions = nullptr;
  PyObject* information_urls = nullptr;
  PyObject* privacy_urls = nullptr;
  PyObject* logos = nullptr;
  PyObject* keywords = nullptr;
  PyObject* domain_hints = nullptr;
  PyObject* organization_names = nullptr;
  PyObject* entity_count = nullptr;
  PyObject* entity_id = nullptr;  // made last: the tools are complete once it is set
};

struct ModuleState {
  // records.cpp: idp_name -> capsule of its Record, and the generation the
  // last claim of a refresh was given.
  PyObject* records = nullptr;
  long last_generation = 0;
  // document.cpp
  DocumentTools document_tools;
  // aggregate.cpp
  AggregateTools aggregate_tools;
};

// Constant-initialised (no constructor runs), so usable from any file at
// any time; never destroyed.
inline ModuleState module_state;

}  // namespace idp_metadata
