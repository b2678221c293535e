# Helpers for tests, fuzz harnesses and their CTest labels.
#
# Labels used by scripts/test:
#   threaded  - runs again under ThreadSanitizer
#   gui       - needs a display (the test command runs CTest under Xvfb)
#   fuzz      - a libFuzzer harness, only built with TAVISK_FUZZ
#   end_to_end - the program itself, driven as a person would (with gui)
#   soak      - repeated uploads and flashes with random faults (with threaded)

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
  set(_label_file "")
  list(LENGTH ARG_LABELS _label_count)
  if(_label_count EQUAL 1)
    set(_props PROPERTIES LABELS "${ARG_LABELS}")
  elseif(_label_count GREATER 1)
    # The discovery script splits a list value into separate arguments: several labels are
    # set once the discovered tests exist, through the list of their names that it leaves.
    set(_label_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${_label_file}"
      "if(DEFINED ${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${ARG_LABELS}\")\nendif()\n")
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
  if(_label_file)
    # After the discovery's own include file, which this directory property already lists.
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_label_file}")
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
