# Protocol engine and device model: plain calls on buffers, no port and no thread.
tavisk_add_gtest(tavisk_engine_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/EngineTestSupport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PayloadFrameTest.cpp
  LIBS tavisk_link)
