# Loader dialog tests: template and procedure in-process, the real program end to end on Xvfb.
if(WIN32)
  set(KAVO_WITH_XVFB ${CMAKE_CURRENT_SOURCE_DIR}/gui/with-xvfb.sh)

  # Links the template too, to make the dialog from it in-process.
  add_executable(kavo-gui-dialog-test gui/dialog_test.cpp ${CMAKE_SOURCE_DIR}/ui/resources/loader.rc)
  target_link_libraries(kavo-gui-dialog-test PRIVATE kavo_dialog GTest::gtest)
  add_dependencies(kavo-gui-dialog-test kavo-loader)
  add_test(NAME kavo-gui-dialog-test
    COMMAND ${KAVO_WITH_XVFB} -- ${KAVO_TESTS_DIR}/wine.sh $<TARGET_FILE:kavo-gui-dialog-test>
      $<TARGET_FILE:kavo-loader>)
  set_tests_properties(kavo-gui-dialog-test PROPERTIES RESOURCE_LOCK kavo-gui TIMEOUT 120)

  add_executable(kavo-gui-e2e gui/e2e_test.cpp gui/gui_driver.cpp)
  target_link_libraries(kavo-gui-e2e PRIVATE kavo_transfer_support)
  add_dependencies(kavo-gui-e2e kavo-loader)
  add_test(NAME kavo-gui-e2e
    COMMAND ${KAVO_WITH_XVFB} -- ${KAVO_TESTS_DIR}/with-sim.sh --sim ${KAVO_SIM} --wine --
      ${KAVO_TESTS_DIR}/wine.sh $<TARGET_FILE:kavo-gui-e2e> $<TARGET_FILE:kavo-loader>)
  # The GUI tests share their Wine prefix, whose server each run ends; COM1 is locked as for every Windows test.
  set_tests_properties(kavo-gui-e2e PROPERTIES RESOURCE_LOCK "com1;kavo-gui" TIMEOUT 300)
endif()
