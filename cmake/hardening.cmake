# How every small C-library-only program of this project is built: warnings,
# hardening as distributions build their packages, and no C++ runtime, so
# that only the C library is loaded, at start-up and inside a measured span.
# The programs link the INTERFACE library thread-start-time-options.
include_guard(GLOBAL)

option(THREAD_START_HARDENING
  "Add the project's own hardening flags; a packager whose build sets its own may turn this off"
  ON)

# The hardening flags that the flags the build was given (a distribution's
# CXXFLAGS land there) say nothing of, added to `target`: the given ones
# win, so that the project never lowers a level they set.
function(thread_start_hardening target)
  include(CheckCXXCompilerFlag)
  include(CheckCXXSourceCompiles)
  string(TOUPPER "${CMAKE_BUILD_TYPE}" config)
  set(given "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${config}}")
  # A compiler may fortify by itself (Ubuntu's does, at level 3).
  set(CMAKE_REQUIRED_FLAGS "-O2")
  check_cxx_source_compiles("
    #include <cstdio>
    #ifndef _FORTIFY_SOURCE
    #error not fortified
    #endif
    int main() { return 0; }" THREAD_START_FORTIFIED_BY_COMPILER)
  unset(CMAKE_REQUIRED_FLAGS)
  if(NOT given MATCHES "_FORTIFY_SOURCE" AND NOT THREAD_START_FORTIFIED_BY_COMPILER)
    target_compile_definitions(${target} INTERFACE
      "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>")
  endif()
  if(NOT given MATCHES "-f(no-)?stack-protector")
    target_compile_options(${target} INTERFACE -fstack-protector-strong)
  endif()
  if(NOT given MATCHES "-f(no-)?stack-clash-protection")
    check_cxx_compiler_flag(-fstack-clash-protection THREAD_START_HAS_STACK_CLASH)
    if(THREAD_START_HAS_STACK_CLASH)
      target_compile_options(${target} INTERFACE -fstack-clash-protection)
    endif()
  endif()
  # Control-flow protection, as Debian builds each architecture.
  if(NOT given MATCHES "-fcf-protection|-mbranch-protection")
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i[3-6]86)$")
      set(control_flow -fcf-protection)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
      set(control_flow -mbranch-protection=standard)
    endif()
    if(control_flow)
      check_cxx_compiler_flag(${control_flow} THREAD_START_HAS_CONTROL_FLOW)
      if(THREAD_START_HAS_CONTROL_FLOW)
        target_compile_options(${target} INTERFACE ${control_flow})
      endif()
    endif()
  endif()
  target_link_options(${target} INTERFACE LINKER:-z,relro,-z,now)
endfunction()

add_library(thread-start-time-options INTERFACE)
target_compile_features(thread-start-time-options INTERFACE cxx_std_17)
target_compile_options(thread-start-time-options INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
  -Wformat=2 -Wcast-qual -Wold-style-cast -Wnull-dereference
  -Wmissing-declarations
  -fno-exceptions -fno-rtti)
target_link_options(thread-start-time-options INTERFACE LINKER:--as-needed)
if(THREAD_START_HARDENING)
  thread_start_hardening(thread-start-time-options)
endif()
