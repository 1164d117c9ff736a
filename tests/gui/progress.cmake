# The progress dialog and the virus-found prompt on their own: a test host
# that runs them on a folder, and the tests that drive it.
add_executable(krelvon-progress-host WIN32 progress_host.cpp)
krelvon_target_defaults(krelvon-progress-host)
krelvon_add_resources(krelvon-progress-host)
target_link_libraries(krelvon-progress-host PRIVATE krelvon_ui)
add_dependencies(krelvon_gui_programs krelvon-progress-host)

krelvon_gui_test(gui_progress_tests progress_test.cpp prompt_test.cpp progress_fixture.cpp)
target_link_libraries(gui_progress_tests PRIVATE krelvon_samples krelvon_core)
# A file held open without sharing, for the test of what the scan could not
# examine.
add_dependencies(gui_progress_tests hold_open)
