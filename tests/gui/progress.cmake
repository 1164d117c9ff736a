# The progress dialog and the virus-found prompt on their own: a test host
# that runs them on a folder, and the tests that drive it.
enable_language(RC)
set(KRELVON_PROGRESS_HOST_SOURCES progress_host.cpp progress_host.rc)
# Until the closing dialog is part of the program, a stand-in takes its place.
if(NOT EXISTS ${PROJECT_SOURCE_DIR}/ui/shell/closing_dialog.cpp)
  list(APPEND KRELVON_PROGRESS_HOST_SOURCES closing_stand_in.cpp)
endif()
add_executable(krelvon-progress-host WIN32 ${KRELVON_PROGRESS_HOST_SOURCES})
krelvon_target_defaults(krelvon-progress-host)
target_link_libraries(krelvon-progress-host PRIVATE krelvon_ui)

add_library(krelvon_window_driver STATIC window_driver.cpp)
krelvon_target_defaults(krelvon_window_driver)
target_link_libraries(krelvon_window_driver PUBLIC gdi32 user32 advapi32)

add_executable(progress_gui_tests progress_test.cpp prompt_test.cpp progress_fixture.cpp ../test_main.cpp)
krelvon_target_defaults(progress_gui_tests)
target_link_libraries(progress_gui_tests PRIVATE krelvon_window_driver krelvon_test_support)
add_dependencies(progress_gui_tests krelvon-progress-host)
gtest_discover_tests(progress_gui_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300
                     PROPERTIES TIMEOUT 180 RUN_SERIAL TRUE)
