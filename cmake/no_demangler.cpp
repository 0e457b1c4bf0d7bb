// Release wheels only (cmake/zig-toolchain.cmake). The statically linked C++
// runtime's terminate handler names the type of an uncaught exception through
// __cxa_demangle, which pulls libc++abi's whole demangler (about 165 KiB) into
// every module. Nothing else asks for it, and no exception leaves the
// plug-in's members uncaught; should one ever reach the handler, it prints
// the mangled type name instead (a status other than 0 tells it to).
#include <cstddef>

extern "C" char* __cxa_demangle(const char*, char*, std::size_t*, int* status) {
  if (status) *status = -2;  // "not a valid mangled name"
  return nullptr;
}
