# Sender and listener workers: their own tests on a scripted link, and end-to-end tests that
# run the real port, link, workers and engine against the simulated beacon.
tavisk_add_gtest(tavisk_serial_workers_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SerialWorkersTest.cpp
  LIBS tavisk_link
  LABELS threaded)

if(NOT WIN32)
  # The main window's handlers stood in for, on the simulated beacon; also used by bench/.
  add_library(tavisk_upload_rig STATIC ${CMAKE_CURRENT_LIST_DIR}/UploadRig.cpp)
  target_include_directories(tavisk_upload_rig PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(tavisk_upload_rig PUBLIC tavisk_link tavisk_sim_beacon tavisk_sim_pty PRIVATE tavisk_warnings)

  tavisk_add_gtest(tavisk_beacon_end_to_end_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/BeaconEndToEndTest.cpp
    LIBS tavisk_upload_rig
    LABELS threaded)
endif()
