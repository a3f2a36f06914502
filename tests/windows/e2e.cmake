# End-to-end support: the UI driver and the programs it drives.
add_library(updtest_win STATIC ${CMAKE_SOURCE_DIR}/tests/support/win/ui_driver.cpp)
target_include_directories(updtest_win PUBLIC ${CMAKE_SOURCE_DIR}/tests/support)

add_executable(box_host e2e/box_host.cpp)
target_link_libraries(box_host PRIVATE shell32)
upd_windows_test(ui_driver_tests SOURCES e2e/ui_driver_test.cpp LIBS updtest_win)
add_dependencies(ui_driver_tests box_host)
