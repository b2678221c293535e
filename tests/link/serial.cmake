# Serial port, its helpers and the link front.
tavisk_add_gtest(tavisk_serial_helpers_test SOURCES SerialPortHelpersTest.cpp LIBS tavisk_link)
tavisk_add_gtest(tavisk_usb_communication_test SOURCES UsbCommunicationTest.cpp LIBS tavisk_fake_serial_port
                 LABELS threaded)
if(WIN32)
  # Runs under wine against a COM port that wine maps to a pseudo-terminal (scripts/test-windows).
  tavisk_add_gtest(tavisk_serial_windows_test SOURCES SerialPortWindowsTest.cpp LIBS tavisk_link
                   RESOURCE_LOCK tavisk_test_com_port)
else()
  # The echo peer on a pseudo-terminal that the Windows port tests talk to under wine.
  add_executable(tavisk_pty_echo PtyEchoPeer.cpp)
  target_link_libraries(tavisk_pty_echo PRIVATE tavisk_test_support tavisk_warnings)
  tavisk_add_gtest(tavisk_pty_pair_test SOURCES PtyPairTest.cpp LIBS tavisk_link)
  tavisk_add_gtest(tavisk_serial_posix_test SOURCES SerialPortPosixTest.cpp UsbCommunicationPtyTest.cpp
                   LIBS tavisk_link LABELS threaded)
endif()
