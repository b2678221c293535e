# Helpers for tests, fuzz harnesses and their CTest labels.
#
# Labels used by scripts/test:
#   threaded  - runs again under ThreadSanitizer
#   gui       - needs a display (the test command runs CTest under Xvfb)
#   fuzz      - a libFuzzer harness, only built with TAVISK_FUZZ

include(GoogleTest)

if(TAVISK_FUZZ)
  add_custom_target(tavisk_fuzzers)
endif()

# tavisk_add_gtest(NAME SOURCES... LIBS ... [LABELS ...] [RESOURCE_LOCK name])
# RESOURCE_LOCK: tests that share something one at a time (e.g. the COM port under wine).
function(tavisk_add_gtest name)
  cmake_parse_arguments(ARG "" "RESOURCE_LOCK" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} tavisk_test_support GTest::gmock GTest::gtest_main tavisk_warnings)
  set(_props "")
  if(ARG_LABELS)
    set(_props PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  if(ARG_RESOURCE_LOCK)
    if(NOT _props)
      set(_props PROPERTIES)
    endif()
    list(APPEND _props RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  if(CMAKE_CROSSCOMPILING)
    # Discovery would run the binary under the emulator at build time; list at test time instead.
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES ${_props})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES ${_props})
  endif()
endfunction()

# tavisk_add_fuzzer(NAME SOURCES... LIBS ... [SECONDS n])
# Builds a libFuzzer harness and registers a bounded run of it as a CTest test.
function(tavisk_add_fuzzer name)
  cmake_parse_arguments(ARG "" "SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT TAVISK_FUZZ)
    return()
  endif()
  if(NOT ARG_SECONDS)
    set(ARG_SECONDS 30)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  set(_corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  file(MAKE_DIRECTORY ${_corpus})
  add_test(NAME ${name}
           COMMAND ${name} -max_total_time=${ARG_SECONDS} -print_final_stats=1 ${_corpus})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 600)
  add_dependencies(tavisk_fuzzers ${name})
endfunction()
