# Tests of the upload worker and the Stop button: a Windows program with real windows, run under Wine
# against the simulator.
if(WIN32)
  add_executable(kavo-worker-test worker_test.cpp)
  target_link_libraries(kavo-worker-test PRIVATE kavo_stop kavo_testkit GTest::gtest_main)

  # Windows need an X display, and a Wine prefix keeps the display its desktop was first made on:
  # so this test gets its own display and its own prefix (and with it its own COM1).
  add_test(NAME kavo-worker-test
    COMMAND ${KAVO_TESTS_DIR}/run-worker-test.sh ${KAVO_SIM} ${CMAKE_BINARY_DIR}/wine-worker/prefix
            $<TARGET_FILE:kavo-worker-test>)
  # Not on COM1 of the shared prefix, but its one-second stop limit wants the machine to itself.
  set_tests_properties(kavo-worker-test PROPERTIES RESOURCE_LOCK com1)
endif()
