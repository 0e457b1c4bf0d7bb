#include "classes.hpp"

#include "module.hpp"
#include "names.hpp"
#include "protocol.hpp"

#include <string>

namespace vs {

ClassBuilder::ClassBuilder(PyObject* module, const char* name, const char* doc)
    : module_(module), name_(name), ns_(new_dict()) {
  Ref module_name = getattr(module, layer_names::dunder_name);
  setitem(ns_.get(), layer_names::dunder_module, module_name.get());
  setitem(ns_.get(), layer_names::dunder_qualname, ustr(name).get());
  if (doc) setitem(ns_.get(), layer_names::dunder_doc, ustr(doc).get());
}

ClassBuilder& ClassBuilder::member(const MemberSpec& spec) {
  std::string qualname = std::string(name_) + "." + spec.name;
  Ref f = make_function(spec, module_, qualname.c_str());
  Ref value;
  switch (spec.kind) {
    case Kind::Function:
    case Kind::Method:
      value = f;
      break;
    case Kind::ClassMethod:
      // Calling the type (not PyClassMethod_New) copies __doc__ & co. as
      // the decorator does.
      value = call(reinterpret_cast<PyObject*>(&PyClassMethod_Type), {f.get()});
      break;
    case Kind::StaticMethod:
      value = call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), {f.get()});
      break;
    case Kind::ContextManager: {
      Ref contextlib = import_module(module_, "contextlib");
      Ref decorator = getattr(contextlib.get(), layer_names::contextmanager);
      value = call(decorator.get(), {f.get()});
      break;
    }
  }
  setitem(ns_.get(), check(PyUnicode_InternFromString(spec.name)).get(), value.get());
  return *this;
}

ClassBuilder& ClassBuilder::attribute(const char* name, Ref value) {
  setitem(ns_.get(), check(PyUnicode_InternFromString(name)).get(), value.get());
  return *this;
}

Ref ClassBuilder::build() {
  Ref bases = tuple_of({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
  return call(reinterpret_cast<PyObject*>(&PyType_Type), {ustr(name_).get(), bases.get(), ns_.get()});
}

}  // namespace vs
