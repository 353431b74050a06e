# Tests of kavo-upload: the real program run against the simulated board, in both trees.
add_executable(kavo-cli-test cli_test.cpp)
target_link_libraries(kavo-cli-test PRIVATE kavo_testkit)
target_compile_definitions(kavo-cli-test PRIVATE KAVO_VERSION="${PROJECT_VERSION}")
add_dependencies(kavo-cli-test kavo-upload)
if(WIN32)
  # The test program runs under Wine and starts the uploader through a Windows path.
  kavo_sim_test(kavo-cli-test $<TARGET_FILE:kavo-cli-test> Z:$<TARGET_FILE:kavo-upload>)
else()
  kavo_sim_test(kavo-cli-test $<TARGET_FILE:kavo-cli-test> $<TARGET_FILE:kavo-upload>)
  # make demo's script, so that it keeps working.
  add_test(NAME kavo-cli-demo COMMAND ${KAVO_TESTS_DIR}/demo.sh ${CMAKE_BINARY_DIR})
endif()
