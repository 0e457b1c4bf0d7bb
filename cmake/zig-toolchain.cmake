# Release wheels (scripts/build-dist.sh): the C++ compiler is zig's clang
# through cmake/zig-c++, which targets glibc 2.17. The development, sanitizer
# and sdist builds do not use this file and keep the system compiler.
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
# Each function in its own section, and the linker drops the ones nothing
# calls (measured: modules about 3% smaller).
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--gc-sections")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--gc-sections")
# The runtime's demangler stays out of the modules (cmake/no_demangler.cpp):
# each wheel about 250 KB smaller.
set(VELMORA_WITHOUT_DEMANGLER ON)
# zig links its own unwinder (libunwind) into every module; the modules take
# the system's shared libgcc_s before it instead (see CMakeLists.txt).
set(VELMORA_SHARED_UNWINDER ON)
