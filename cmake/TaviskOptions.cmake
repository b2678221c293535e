# Build switches shared by every subdirectory.

set(TAVISK_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, 'address' (ASan+UBSan) or 'thread' (TSan)")
set_property(CACHE TAVISK_SANITIZE PROPERTY STRINGS "" address thread)
option(TAVISK_TESTS "Build the tests" ON)
option(TAVISK_BENCH "Build the benchmarks" ON)
option(TAVISK_FUZZ "Build the libFuzzer harnesses (clang only)" OFF)

if(WIN32 OR CMAKE_CROSSCOMPILING)
  set(_tavisk_gui_default OFF)
else()
  set(_tavisk_gui_default ON)
endif()
option(TAVISK_GUI "Build the gtkmm program and its tests" ${_tavisk_gui_default})

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

# Warnings apply to our own targets only (tavisk_warnings is linked privately).
add_library(tavisk_warnings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(tavisk_warnings INTERFACE -Wall -Wextra)
endif()

# The Win32 view of our own code (empty elsewhere): no GDI, whose wingdi.h defines ERROR (a
# log level here); the lean headers; no min and max macros. Every own target gets it with
# tavisk_warnings.
add_library(tavisk_win32 INTERFACE)
if(WIN32)
  target_compile_definitions(tavisk_win32 INTERFACE NOGDI WIN32_LEAN_AND_MEAN NOMINMAX)
endif()
target_link_libraries(tavisk_warnings INTERFACE tavisk_win32)

if(TAVISK_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(TAVISK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TAVISK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TAVISK_SANITIZE must be empty, 'address' or 'thread'")
endif()

if(TAVISK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TAVISK_FUZZ needs clang (libFuzzer)")
  endif()
  # Coverage instrumentation for everything; only the harnesses link the fuzzer driver.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Platform-specific sources are chosen by file name: Foo + Posix/Windows suffix.
if(WIN32)
  set(TAVISK_PLATFORM Windows)
else()
  set(TAVISK_PLATFORM Posix)
endif()

find_package(Threads REQUIRED)
