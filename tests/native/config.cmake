upd_native_test(config_tests
  SOURCES config_profile_test.cpp config_list_path_test.cpp config_readers_test.cpp
          config_setup_description_test.cpp config_update_section_test.cpp config_notice_test.cpp
          ../support/error_box_recorder.cpp
  LIBS updcore)

# The path check stands alone: it needs nothing of the run-wide state or the error boxes.
upd_native_test(config_item_path_tests SOURCES config_item_path_test.cpp LIBS updcore)
