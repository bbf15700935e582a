# The hardening that distributions build their packages with, for every target
# that links restamp_hardening (through restamp_options):
# - a stack protector on functions with arrays or addresses of locals;
# - position-independent executables (ELF), so that the system can load them
#   at a random address;
# - on ELF, relocations resolved at start-up and then made read-only
#   (-z relro -z now); on Windows, ASLR with 64-bit addresses and DEP
#   (--dynamicbase --nxcompat --high-entropy-va);
# - in builds with optimisation (Release, RelWithDebInfo, MinSizeRel) and
#   without the sanitizers, the C library's checked string and memory functions
#   (_FORTIFY_SOURCE, level 3 where the compiler can size objects at run time,
#   else 2).
# A packager's CXXFLAGS and LDFLAGS (from dpkg-buildflags, for example) come
# first on every command line and are kept; a _FORTIFY_SOURCE set in CXXFLAGS
# is left as it is. Uses gcc_like and gcc_like_link from the top CMakeLists.
option(RESTAMP_HARDENING "Build with the hardening flags distributions use" ON)
add_library(restamp_hardening INTERFACE)
if(RESTAMP_HARDENING)
  if(NOT WIN32)
    include(CheckPIESupported)
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  endif()
  target_compile_options(restamp_hardening INTERFACE "$<${gcc_like}:-fstack-protector-strong>")
  if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
    target_link_options(restamp_hardening INTERFACE "$<${gcc_like_link}:LINKER:-z,relro,-z,now>")
  elseif(MINGW)
    # The stack protector's and the checked functions' code is in libssp,
    # which the compiler links only when told of the stack protector.
    target_link_options(restamp_hardening INTERFACE
      "$<${gcc_like_link}:-fstack-protector-strong;LINKER:--dynamicbase,--nxcompat,--high-entropy-va>")
  endif()

  # The checked functions need optimisation, and would hide accesses from
  # AddressSanitizer. -U first: some compilers define _FORTIFY_SOURCE themselves.
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT (RESTAMP_SANITIZE OR RESTAMP_FUZZ) AND NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
    include(CheckCXXSourceCompiles)
    set(CMAKE_REQUIRED_FLAGS "-O2")
    set(CMAKE_REQUIRED_QUIET ON)
    check_cxx_source_compiles([[
#if !defined(__has_builtin)
#error no __has_builtin
#elif !__has_builtin(__builtin_dynamic_object_size)
#error no __builtin_dynamic_object_size
#endif
int main() { return 0; }
]] RESTAMP_HAVE_DYNAMIC_OBJECT_SIZE)
    unset(CMAKE_REQUIRED_FLAGS)
    unset(CMAKE_REQUIRED_QUIET)
    if(RESTAMP_HAVE_DYNAMIC_OBJECT_SIZE)
      set(fortify_level 3)
    else()
      set(fortify_level 2)
    endif()
    target_compile_options(restamp_hardening INTERFACE
      "$<$<AND:${gcc_like},$<CONFIG:Release,RelWithDebInfo,MinSizeRel>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=${fortify_level}>")
  endif()
endif()
