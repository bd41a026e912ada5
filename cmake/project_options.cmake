# Compiler settings shared by every target the project owns.

# Sanitizers apply to everything that is linked into a test binary.
if(TV_SANITIZE)
  add_compile_options(-fsanitize=${TV_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${TV_SANITIZE})
  if(TV_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# tv_own_target(<target>): warnings as errors and the LLP64 character model.
# WCHAR is 16 bits on Windows; -fshort-wchar gives the host the same wchar_t,
# so L"..." literals and UNICODE_STRING lengths mean the same on both.
# Wide standard-library functions must not be used by code built this way.
function(tv_own_target target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_compile_options(${target} INTERFACE -fshort-wchar)
    return()
  endif()
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Werror -Wno-unused-parameter -Wno-missing-field-initializers
    -fshort-wchar)
  # GUIDs are initialised from the kernel headers' flat STATIC_<name> lists,
  # which clang would ask to be braced per member.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(${target} PRIVATE -Wno-missing-braces)
  endif()
  target_compile_options(${target} PUBLIC -fshort-wchar)
endfunction()

# Kernel-style code: no exceptions, no RTTI, no thread-safe statics.
function(tv_kernel_style target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-threadsafe-statics)
endfunction()

# Fuzz builds: coverage instrumentation for everything the targets link.
if(TV_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
