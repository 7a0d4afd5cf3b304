# Environment of the tests in a sanitizer build (included by tests/CMakeLists.txt).
#
# Sets two lists of NAME=VALUE entries, empty in a normal build:
#   VELTO_SANITIZER_CPP_ENV  for the C++ test executables (instrumented themselves);
#   VELTO_SANITIZER_PY_ENV   for the Python suites: the interpreter is not
#     instrumented, so the sanitizer runtimes are preloaded into it before the
#     instrumented velto_internal.so and libvelto.so are loaded. Subprocesses
#     the suites start inherit the same environment.
#
# Every report stops the test (halt_on_error) with a stack trace; leaks are
# checked at exit with the interpreter's own leaks suppressed (lsan.supp).
set(VELTO_SANITIZER_CPP_ENV "")
set(VELTO_SANITIZER_PY_ENV "")
set(_velto_sanitizer_dir "${CMAKE_CURRENT_LIST_DIR}")

if(VELTO_SANITIZE STREQUAL "address")
  set(_asan_options "halt_on_error=1:abort_on_error=0:detect_leaks=1:print_summary=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1")
  set(_lsan_options "suppressions=${_velto_sanitizer_dir}/lsan.supp:print_suppressions=0")
  set(_ubsan_options "halt_on_error=1:print_stacktrace=1")
  list(APPEND VELTO_SANITIZER_CPP_ENV
       "ASAN_OPTIONS=${_asan_options}" "LSAN_OPTIONS=${_lsan_options}"
       "UBSAN_OPTIONS=${_ubsan_options}" "VELTO_SANITIZED=address")
  # The runtimes the compiler linked the instrumented code against.
  set(_preload "")
  foreach(_runtime libasan.so libubsan.so)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${_runtime}
                    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
      message(FATAL_ERROR "VELTO_SANITIZE=address: ${CMAKE_CXX_COMPILER} has no ${_runtime}")
    endif()
    list(APPEND _preload "${_path}")
  endforeach()
  string(REPLACE ";" ":" _preload "${_preload}")
  set(VELTO_SANITIZER_PY_ENV ${VELTO_SANITIZER_CPP_ENV} "LD_PRELOAD=${_preload}")
elseif(VELTO_SANITIZE STREQUAL "thread")
  # Only the C++ tests run under ThreadSanitizer (scripts/sanitize.sh thread):
  # an uninstrumented interpreter makes every Python suite a wall of noise.
  list(APPEND VELTO_SANITIZER_CPP_ENV
       "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:history_size=4:suppressions=${_velto_sanitizer_dir}/tsan.supp"
       "VELTO_SANITIZED=thread")
endif()
