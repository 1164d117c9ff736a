# The scan options dialog and its folder tree: an entry program that shows
# the dialog on its own, and the driver.
add_executable(krelvon_setup_entry WIN32 setup_entry.cpp)
krelvon_target_defaults(krelvon_setup_entry)
target_link_libraries(krelvon_setup_entry PRIVATE krelvon_ui)
krelvon_add_resources(krelvon_setup_entry)
add_dependencies(krelvon_gui_programs krelvon_setup_entry)
krelvon_gui_test(gui_setup_tests scan_options_test.cpp)
target_link_libraries(gui_setup_tests PRIVATE krelvon_samples)
