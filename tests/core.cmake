# Tests of the serial link, the board protocol and the image, built in both trees.
add_library(kavo_transfer_support STATIC transfer_support.cpp)
target_link_libraries(kavo_transfer_support PUBLIC kavo_testkit)

add_executable(kavo-core-test protocol_test.cpp link_test.cpp)
target_link_libraries(kavo-core-test PRIVATE kavo_transfer_support GTest::gtest_main)
kavo_sim_test(kavo-core-test $<TARGET_FILE:kavo-core-test>)

add_executable(kavo-image-test image_test.cpp)
target_link_libraries(kavo-image-test PRIVATE kavo_core GTest::gtest_main)
kavo_plain_test(kavo-image-test $<TARGET_FILE:kavo-image-test>)

# Figures, not a test: `make bench`.
add_executable(kavo-bench bench.cpp)
target_link_libraries(kavo-bench PRIVATE kavo_transfer_support)
