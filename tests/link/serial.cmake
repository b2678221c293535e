# Serial port, its helpers and the link front.
tavisk_add_gtest(tavisk_serial_helpers_test SOURCES SerialPortHelpersTest.cpp LIBS tavisk_link)
if(NOT WIN32)
  tavisk_add_gtest(tavisk_pty_pair_test SOURCES PtyPairTest.cpp LIBS tavisk_link)
endif()
