#include "siblings.hpp"

namespace siblings {

vs::Ref get(const vs::Name& module_name, vs::Site site) {
  // sys.modules first: once loaded, no import machinery (nor its lock) runs.
  if (vs::Ref loaded = vs::check_optional(PyImport_GetModule(module_name), site)) return loaded;
  return vs::check(PyImport_Import(module_name), site);
}

}  // namespace siblings
