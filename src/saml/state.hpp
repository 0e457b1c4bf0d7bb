// What velmora_saml.saml keeps for the process, in one place. Each member is
// made at the module's exec or at its first use, with the GIL held, and kept
// until the process ends (strong references never released, like the
// interned names: C++ static destructors would run after the interpreter is
// gone). Python code reaches none of it except through the module's own
// members. The file named beside a member is the only one that uses it.
#pragma once

#include <memory>
#include <unordered_map>

#include "../pyobj/pyobj.hpp"

namespace saml {

// The process-wide reentrant lock of one in-memory tracker. It lives outside
// the instance (whose whole state is `_seen_responses`), in a table keyed by
// the tracker's address; a weak reference to the tracker drops the entry
// when the tracker dies. Every field is read and written with the GIL held:
// only the blocking acquire runs without it.
struct TrackerLock {
  PyThread_type_lock lock = nullptr;
  unsigned long owner = 0;  // thread ident of the holder, valid while depth > 0
  long depth = 0;
  bool orphaned = false;  // out of the table, freed by its last release
  vs::Ref watch;          // weakref to the tracker, its callback forgets this entry
  ~TrackerLock() {
    if (lock) PyThread_free_lock(lock);
  }
};

// The compiled queries and toolkit classes of the response checks.
struct ResponseTools {
  PyObject* verdict = nullptr;           // lxml.etree.XPath of the transform check
  PyObject* bearer_limits = nullptr;     // the NotOnOrAfter texts of bearer confirmations
  PyObject* unlimited_bearer = nullptr;  // whether a bearer confirmation has none
  PyObject* condition_limits = nullptr;  // the NotOnOrAfter texts of the Conditions
  PyObject* utils_class = nullptr;       // OneLogin_Saml2_Utils: the toolkit's base64 decoding
  PyObject* xml_class = nullptr;         // OneLogin_Saml2_XML: the toolkit's hardened parser
  PyObject* constants_class = nullptr;   // OneLogin_Saml2_Constants: its allowed clock drift
};

struct ModuleState {
  // trackers.cpp: the interpreter's own time.time, taken when the module
  // bound `time` (a test's clock put in its place is told apart by
  // identity), and the lock of each in-memory tracker, by its address.
  PyObject* builtin_clock = nullptr;
  std::unordered_map<PyObject*, std::unique_ptr<TrackerLock>> tracker_locks;
  // response_checks.cpp
  ResponseTools response_tools;
  // shared_settings.cpp: idp_name -> (completed settings mapping, deep copy
  // of it, the toolkit's settings object made from it).
  PyObject* prepared = nullptr;
  // shared_settings.cpp: (idp_name, AuthnContextClassRef values) -> (the
  // IdP's settings object above, the one made from it for logins that ask
  // for those values).
  PyObject* asking = nullptr;
  // sp_metadata.cpp: idp_name -> (settings object, the masked document the
  // toolkit's check passed).
  PyObject* passed_documents = nullptr;
  // idp_settings.cpp: velmora_saml.idp_metadata and velmora_saml.idp_report,
  // imported at their first use; whether some IdP has a metadata record
  // (until then a cached login asks nothing more); the function the
  // background refreshes run.
  PyObject* metadata_module = nullptr;
  PyObject* report_module = nullptr;
  bool metadata_records_started = false;
  PyObject* refresh_worker_function = nullptr;
  // idp_settings.cpp: the function of the refresh schedule's thread, the
  // event that wakes it, and the process that started it.
  PyObject* refresh_schedule_function = nullptr;
  PyObject* schedule_wake = nullptr;
  long schedule_pid = 0;
  // metadata_fetch.cpp: the function a fetch thread runs, and idp_name ->
  // its latest fetch over the network, (url, done event, box, shareable).
  PyObject* metadata_worker = nullptr;
  PyObject* fetches = nullptr;
};

// module.cpp. Never destroyed, for the reason above.
extern ModuleState& module_state;

}  // namespace saml
