# Serial port, its helpers and the link front.
tavisk_add_gtest(tavisk_serial_helpers_test SOURCES SerialPortHelpersTest.cpp LIBS tavisk_link)
tavisk_add_gtest(tavisk_usb_communication_test SOURCES UsbCommunicationTest.cpp LIBS tavisk_link LABELS threaded)
if(WIN32)
  # Runs under wine against a COM port that wine maps to a pseudo-terminal (scripts/test-windows).
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/SerialPortWindowsTest.cpp)
    tavisk_add_gtest(tavisk_serial_windows_test SOURCES SerialPortWindowsTest.cpp LIBS tavisk_link)
  endif()
else()
  tavisk_add_gtest(tavisk_pty_pair_test SOURCES PtyPairTest.cpp LIBS tavisk_link)
  tavisk_add_gtest(tavisk_serial_posix_test SOURCES SerialPortPosixTest.cpp UsbCommunicationPtyTest.cpp
                   LIBS tavisk_link LABELS threaded)
endif()
