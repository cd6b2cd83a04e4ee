# Warnings and sanitizers shared by every target of the project.
add_library(brindlow_options INTERFACE)
target_compile_options(brindlow_options INTERFACE -Wall -Wextra -Wpedantic)
if(BRINDLOW_WERROR)
  target_compile_options(brindlow_options INTERFACE -Werror)
endif()

if(BRINDLOW_SANITIZE)
  set(_sanitize_flags -fsanitize=${BRINDLOW_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_sanitize_flags})
  add_link_options(-fsanitize=${BRINDLOW_SANITIZE})
  # GCC's flow analysis misfires on instrumented standard headers (<regex>, <functional>)
  # and on PipeWire's inline builders.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(brindlow_options INTERFACE -Wno-maybe-uninitialized -Wno-array-bounds
      -Wno-stringop-overread -Wno-stringop-overflow)
    # Qt's headers use std::atomic_thread_fence, which the race detector cannot model;
    # GCC warns at every use, in code that is not ours.
    if(BRINDLOW_SANITIZE MATCHES "thread")
      target_compile_options(brindlow_options INTERFACE -Wno-tsan)
    endif()
  endif()
endif()
# PipeWire's method macros are GNU statement expressions, which clang's -Wpedantic names at each use.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(brindlow_options INTERFACE -Wno-gnu-statement-expression)
endif()

if(BRINDLOW_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "BRINDLOW_FUZZ needs clang (configure with CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
