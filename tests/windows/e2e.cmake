# End-to-end support: the UI driver and the programs it drives.
add_library(updtest_win STATIC ${CMAKE_SOURCE_DIR}/tests/support/win/ui_driver.cpp)
target_include_directories(updtest_win PUBLIC ${CMAKE_SOURCE_DIR}/tests/support)

add_executable(box_host e2e/box_host.cpp)
target_link_libraries(box_host PRIVATE shell32)
upd_windows_test(ui_driver_tests SOURCES e2e/ui_driver_test.cpp LIBS updtest_win)
add_dependencies(ui_driver_tests box_host)

# The updater's entry with a LaunchUpdate that reports what it sees.
enable_language(RC)
add_executable(run_host WIN32 e2e/run_host.cpp e2e/run_host.rc)
target_link_libraries(run_host PRIVATE updshell updbox)
target_link_options(run_host PRIVATE -municode)
target_include_directories(run_host PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
upd_windows_test(run_updater_tests SOURCES e2e/run_updater_test.cpp LIBS updtest_win updpacker TIMEOUT 600)
add_dependencies(run_updater_tests run_host)
upd_windows_test(run_updater_tests_en SOURCES e2e/run_updater_test.cpp LIBS updtest_win updpacker
                 LOCALE en_US.UTF-8 ENV UPD_EXPECT_ACP=1252 TIMEOUT 600)
add_dependencies(run_updater_tests_en run_host)
