# Checks of the source tree: every header compiles on its own, and no include points up a layer.

# tavisk_checked_library(TARGET): registers a target of Sources for the layer check and builds,
# with the normal build, one translation unit per header of it that includes only that header
# (so a header that needs an include it does not make fails the build). Every header of a
# library is listed in its sources.
function(tavisk_checked_library target)
  set_property(GLOBAL APPEND PROPERTY TAVISK_CHECKED_LIBRARIES ${target})
  get_target_property(sources ${target} SOURCES)
  get_target_property(dir ${target} SOURCE_DIR)
  set(units "")
  foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.h$")
      continue()
    endif()
    get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${dir}")
    file(RELATIVE_PATH header "${TAVISK_SOURCES_DIR}" "${path}")
    get_filename_component(name "${source}" NAME_WE)
    set(unit "${CMAKE_CURRENT_BINARY_DIR}/header_check/${target}/${name}.cpp")
    file(CONFIGURE OUTPUT "${unit}" CONTENT "#include \"${header}\"\n")
    list(APPEND units "${unit}")
  endforeach()
  if(units)
    add_library(${target}_header_check OBJECT ${units})
    target_link_libraries(${target}_header_check PRIVATE ${target} tavisk_warnings)
    target_compile_options(${target}_header_check PRIVATE $<TARGET_PROPERTY:${target},COMPILE_OPTIONS>)
  endif()
endfunction()

# tavisk_add_layer_check(): a test that fails when a file of the registered libraries includes a
# header of a layer above its own, or names no layer (cmake/CheckLayers.cmake).
function(tavisk_add_layer_check)
  get_property(targets GLOBAL PROPERTY TAVISK_CHECKED_LIBRARIES)
  set(files "")
  foreach(target IN LISTS targets)
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
  file(CONFIGURE OUTPUT "${list_file}" CONTENT "${text}\n")
  add_test(NAME layer_rule
           COMMAND ${CMAKE_COMMAND} -DFILE_LIST=${list_file} -DSOURCES_DIR=${TAVISK_SOURCES_DIR}
                   -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake)
endfunction()
