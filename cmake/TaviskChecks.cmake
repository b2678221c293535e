# Checks of the source tree that run as tests.

# tavisk_add_layer_check(TARGETS ...): a test that fails when a file of these targets includes
# a header from a layer above its own (cmake/CheckLayers.cmake).
function(tavisk_add_layer_check)
  cmake_parse_arguments(ARG "" "" "TARGETS" ${ARGN})
  set(files "")
  foreach(target IN LISTS ARG_TARGETS)
    get_target_property(sources ${target} SOURCES)
    get_target_property(dir ${target} SOURCE_DIR)
    foreach(source IN LISTS sources)
      if(source MATCHES "^\\$<") # objects of another target, checked with it
        continue()
      endif()
      get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${dir}")
      list(APPEND files "${path}")
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES files)
  list(JOIN files "\n" text)
  set(list_file "${CMAKE_BINARY_DIR}/layer_check_files.txt")
  file(WRITE "${list_file}" "${text}\n")
  add_test(NAME layer_rule
           COMMAND ${CMAKE_COMMAND} -DFILE_LIST=${list_file} -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake)
endfunction()
