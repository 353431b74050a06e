# Tests of the board simulator itself, acting as the host on its pty (native tree only).
if(NOT WIN32)
  add_executable(kavo-sim-test sim_test.cpp)
  target_link_libraries(kavo-sim-test PRIVATE kavo_testkit GTest::gtest_main)
  kavo_sim_test(kavo-sim-test $<TARGET_FILE:kavo-sim-test>)
endif()
