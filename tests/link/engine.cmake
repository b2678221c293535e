# Protocol engine and device model: plain calls on buffers, no port and no thread.
tavisk_add_gtest(tavisk_engine_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/EngineTestSupport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PayloadFrameTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DeviceModelTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RequestEngineTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AnswerProcessingTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PayloadAnswerTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FileTransferTest.cpp
  LIBS tavisk_link)

tavisk_add_fuzzer(tavisk_engine_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/EngineFuzz.cpp
  LIBS tavisk_link
  SECONDS 30)

tavisk_add_gtest(tavisk_engine_threads_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/EngineTestSupport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/EngineThreadsTest.cpp
  LIBS tavisk_link
  LABELS threaded)
