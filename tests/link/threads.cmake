# Sender and listener workers: their own tests on a scripted link. (The end-to-end tests of the
# whole road, through the main window's session, are in tests/control.)
tavisk_add_gtest(tavisk_serial_workers_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SerialWorkersTest.cpp
  LIBS tavisk_link
  LABELS threaded)
