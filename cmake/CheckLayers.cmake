# Fails when a source file includes a header from a layer above its own.
#   cmake -DFILE_LIST=<file with one path per line> -P CheckLayers.cmake
#
# Within a folder whose files form a stack (the ESP32 loader, the device link), each module
# (a header with its source) has a layer; a file may include the header of its own module and
# headers of lower layers only. A module of such a folder that has no layer here is an error
# too, so that a new file is placed deliberately.

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
  "LinkTypes MessageType PayloadCommand QueueItem FileRequest DeviceInfo FieldInfo"
  "FastCrc8 QueueWakeup SerialPort"
  "PayloadFrame SerialPortHelpers AbstractProtocolHandler"
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
  get_filename_component(dir "${path}" DIRECTORY)
  get_filename_component(folder "${dir}" NAME)
  if(NOT DEFINED _${folder}_layers)
    continue()
  endif()
  get_filename_component(module "${path}" NAME_WE)
  # Platform files belong to the module they implement.
  string(REGEX REPLACE "(Posix|Windows)$" "" base "${module}")
  _layer_of(${folder} "${module}" own)
  if(own EQUAL -1)
    _layer_of(${folder} "${base}" own)
  endif()
  if(own EQUAL -1)
    string(APPEND problems "${path}: ${module} has no layer in CheckLayers.cmake\n")
    continue()
  endif()
  file(STRINGS "${path}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" header "${line}")
    get_filename_component(header_module "${header}" NAME_WE)
    if(header_module STREQUAL module OR header_module STREQUAL base)
      continue()
    endif()
    _layer_of(${folder} "${header_module}" theirs)
    if(theirs EQUAL -1)
      continue() # another folder's header
    endif()
    if(NOT theirs LESS own)
      string(APPEND problems "${path}: includes ${header}, which is not below ${module}\n")
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "Includes that point up or across a stack:\n${problems}")
endif()
list(LENGTH files count)
message(STATUS "Layer rule holds for ${count} files")
