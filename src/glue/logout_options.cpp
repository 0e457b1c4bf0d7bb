#include "logout_options.hpp"

#include "siblings.hpp"

namespace logout_options {

using vs::Ref;

Ref module() { return siblings::get(siblings::logout); }

Options read(PyObject* idp_config) {
  if (!vs::contains(idp_config, names::allow_unsolicited) && !vs::contains(idp_config, names::single_logout))
    return Options{};
  // The module's own function: a test or the host may have replaced it.
  Ref pair = vs::call_method(module().get(), names::idp_logout_options, {idp_config});
  if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
    vs::raise_format(PyExc_TypeError, "idp_logout_options() must return a pair, not %.100s",
                     Py_TYPE(pair.get())->tp_name);
  }
  Options options;
  options.allow_unsolicited = vs::truthy(vs::item(pair.get(), 0).get());
  options.single_logout = vs::truthy(vs::item(pair.get(), 1).get());
  return options;
}

}  // namespace logout_options
