# Fails when a source file includes a header from a layer above its own.
#   cmake -DFILE_LIST=<file with one path per line> -DSOURCES_DIR=<Sources> -P CheckLayers.cmake
#
# Includes name their layer ("link/UsbCommunication.h"). A folder of Sources may include the
# folders listed for it below, and no other. Within a folder whose files form a stack (the ESP32
# loader, the device link), each module (a header with its source) has a layer of its own; a
# file may include the header of its own module and headers of lower layers only. A module of
# such a folder without a layer here is an error too, so that a new file is placed deliberately.

# What each folder may include, itself first.
set(_core_uses core)
set(_link_uses link core)
set(_espflash_uses espflash link core)
set(_control_uses control espflash link core)
set(_platform_uses platform)
set(_widgets_uses widgets platform link core)
set(_app_uses app widgets platform control espflash link core resources)

# Layers from the bottom up; modules on one line are side by side and do not include each other.
set(_espflash_layers
  "loader_types"                         # result codes, chips, connection arguments
  "loader_port md5_hash esp_stubs"       # the hooks' interface; pure tables and helpers
  "slip"                                 # framing over the hooks
  "protocol_serial"                      # command packets, sequence number, stub flag
  "protocol_uart esp_targets"            # SYNC attempts; chip table and detection
  "loader_connection"                    # the connection's state and shared steps
  "esp_loader"                           # the operations the program calls
  "esp_loader_further"                   # the operations it does not call
  "EspSerialFlasherPort"                 # the hooks over the device link
  "EspSerialFlasher"                     # the flasher front
)
set(_link_layers
  "LinkTypes MessageType PayloadCommand QueueItem FileRequest DeviceInfo FieldInfo FirmwareTarget"
  "FastCrc8 QueueWakeup SerialPort LinkControl"
  "PayloadFrame SerialPortHelpers AbstractProtocolHandler FileTransfer"
  "PayloadParser PayloadAnswer Field SerialPortPosix SerialPortWindows"
  "Device UsbCommunication"
  "DeviceHandler"
  "PayloadHandler"
  "SerialSender SerialListener"
)

function(_layer_of folder module out)
  set(index 0)
  foreach(line IN LISTS _${folder}_layers)
    string(REPLACE " " ";" modules "${line}")
    list(FIND modules "${module}" found)
    if(found GREATER -1)
      set(${out} ${index} PARENT_SCOPE)
      return()
    endif()
    math(EXPR index "${index} + 1")
  endforeach()
  set(${out} -1 PARENT_SCOPE)
endfunction()

file(STRINGS "${FILE_LIST}" files)
set(problems "")
foreach(path IN LISTS files)
  file(RELATIVE_PATH relative "${SOURCES_DIR}" "${path}")
  string(REGEX REPLACE "/.*$" "" folder "${relative}")
  if(NOT DEFINED _${folder}_uses)
    string(APPEND problems "${path}: folder ${folder} has no place in CheckLayers.cmake\n")
    continue()
  endif()
  get_filename_component(module "${path}" NAME_WE)
  # Platform files belong to the module they implement.
  string(REGEX REPLACE "(Posix|Windows)$" "" base "${module}")
  set(own -1)
  if(DEFINED _${folder}_layers)
    _layer_of(${folder} "${module}" own)
    if(own EQUAL -1)
      _layer_of(${folder} "${base}" own)
    endif()
    if(own EQUAL -1)
      string(APPEND problems "${path}: ${module} has no layer in CheckLayers.cmake\n")
      continue()
    endif()
  endif()
  file(STRINGS "${path}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" header "${line}")
    if(NOT header MATCHES "/")
      string(APPEND problems "${path}: includes ${header} without naming its layer\n")
      continue()
    endif()
    string(REGEX REPLACE "/.*$" "" their_folder "${header}")
    list(FIND _${folder}_uses "${their_folder}" allowed)
    if(allowed EQUAL -1)
      string(APPEND problems "${path}: includes ${header}, but ${folder} does not stand on ${their_folder}\n")
      continue()
    endif()
    if(own EQUAL -1 OR NOT their_folder STREQUAL folder)
      continue()
    endif()
    get_filename_component(header_module "${header}" NAME_WE)
    if(header_module STREQUAL module OR header_module STREQUAL base)
      continue()
    endif()
    _layer_of(${folder} "${header_module}" theirs)
    if(theirs EQUAL -1 OR NOT theirs LESS own)
      string(APPEND problems "${path}: includes ${header}, which is not below ${module}\n")
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "Includes that point up or across a stack:\n${problems}")
endif()
list(LENGTH files count)
message(STATUS "Layer rule holds for ${count} files")
