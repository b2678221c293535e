# Sender and listener workers: their own tests on a scripted link, and end-to-end tests that
# run the real port, link, workers and engine against the simulated beacon.
tavisk_add_gtest(tavisk_serial_workers_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SerialWorkersTest.cpp
  LIBS tavisk_link
  LABELS threaded)

# The main window's session with the keys that the protocol side fires routed to it.
add_library(tavisk_session_rig STATIC ${CMAKE_CURRENT_LIST_DIR}/SessionRig.cpp)
target_include_directories(tavisk_session_rig PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tavisk_session_rig PUBLIC tavisk_control PRIVATE tavisk_warnings)

if(WIN32)
  # Under wine against the simulated beacon, which scripts/test-windows serves on a COM port.
  tavisk_add_gtest(tavisk_beacon_com_port_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/BeaconComPortTest.cpp
    LIBS tavisk_session_rig tavisk_sim_beacon
    RESOURCE_LOCK tavisk_test_beacon_port)
else()
  # The simulated beacon on a pseudo-terminal; also used by bench/.
  add_library(tavisk_upload_rig STATIC ${CMAKE_CURRENT_LIST_DIR}/UploadRig.cpp)
  target_include_directories(tavisk_upload_rig PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(tavisk_upload_rig PUBLIC tavisk_session_rig tavisk_sim_beacon tavisk_sim_pty
                        PRIVATE tavisk_warnings)

  tavisk_add_gtest(tavisk_beacon_end_to_end_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/BeaconEndToEndTest.cpp
    LIBS tavisk_upload_rig
    LABELS threaded)

  # One job on the line at a time, and the image in hand before anything is sent.
  tavisk_add_gtest(tavisk_line_jobs_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/OneJobAtATimeTest.cpp ${CMAKE_CURRENT_LIST_DIR}/ImageInHandTest.cpp
    LIBS tavisk_upload_rig tavisk_sim_rom
    LABELS threaded)
endif()

if(NOT WIN32)
  # Repeated uploads and flashes with random faults (TAVISK_SOAK_RUNS, TAVISK_SOAK_SEED).
  tavisk_add_gtest(tavisk_soak_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/SoakTest.cpp
    LIBS tavisk_upload_rig tavisk_sim_rom
    LABELS threaded soak)
endif()
