# End-to-end support: the UI driver and the programs it drives.
add_library(updtest_win STATIC ${CMAKE_SOURCE_DIR}/tests/support/win/ui_driver.cpp)
target_include_directories(updtest_win PUBLIC ${CMAKE_SOURCE_DIR}/tests/support)

add_executable(box_host e2e/box_host.cpp)
target_link_libraries(box_host PRIVATE shell32)
upd_windows_test(ui_driver_tests SOURCES e2e/ui_driver_test.cpp LIBS updtest_win)
add_dependencies(ui_driver_tests box_host game_window)

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

# The launch checks and the wizard, end to end: update.exe itself, and a wizard host whose
# RunUpdate gives the outcome a scenario asks for.
add_executable(game_window e2e/game_window.cpp)
target_link_libraries(game_window PRIVATE shell32)
add_executable(wizard_host WIN32 ${CMAKE_SOURCE_DIR}/src/startup/main.cpp e2e/wizard_host.cpp
                                 ${CMAKE_SOURCE_DIR}/res/wizard.rc ${CMAKE_SOURCE_DIR}/res/manifest.rc)
target_link_libraries(wizard_host PRIVATE updshell updlaunch updbox)
target_link_options(wizard_host PRIVATE -municode)
target_include_directories(wizard_host PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
# The same without the dialog templates: the wizard cannot be created.
add_executable(wizard_host_bare WIN32 ${CMAKE_SOURCE_DIR}/src/startup/main.cpp e2e/wizard_host.cpp
                                      ${CMAKE_SOURCE_DIR}/res/manifest.rc)
target_link_libraries(wizard_host_bare PRIVATE updshell updlaunch updbox)
target_link_options(wizard_host_bare PRIVATE -municode)
target_include_directories(wizard_host_bare PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
add_library(updtest_scenario STATIC e2e/scenario.cpp)
target_link_libraries(updtest_scenario PUBLIC updtest_win updpacker GTest::gtest)
target_include_directories(updtest_scenario PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
# Each locale's scenarios have a CD-ROM drive of their own (tests/wine/wine-run.sh makes both).
foreach(locale ja en)
  set(env "UPD_UPDATE_EXE=Z:${CMAKE_BINARY_DIR}/update.exe")
  if(locale STREQUAL en)
    set(args LOCALE en_US.UTF-8)
    list(APPEND env UPD_EXPECT_ACP=1252 UPD_CDROM=Q: "UPD_CDROM_DIR=Z:${UPD_WINE_ROOT}/cdrom-q")
  else()
    set(args)
    list(APPEND env UPD_CDROM=P: "UPD_CDROM_DIR=Z:${UPD_WINE_ROOT}/cdrom-p")
  endif()
  upd_windows_test(launch_tests_${locale} SOURCES e2e/launch_test.cpp e2e/wizard_test.cpp
                   LIBS updtest_scenario TIMEOUT 900 ${args} ENV ${env})
  add_dependencies(launch_tests_${locale} update wizard_host wizard_host_bare game_window)
  upd_windows_test(update_run_tests_${locale} SOURCES e2e/update_run_test.cpp
                   LIBS updtest_scenario TIMEOUT 900 ${args} ENV ${env})
  add_dependencies(update_run_tests_${locale} update)
  upd_windows_test(elevated_run_tests_${locale} SOURCES e2e/elevated_run_test.cpp
                   LIBS updtest_scenario TIMEOUT 900 ${args} ENV ${env})
  add_dependencies(elevated_run_tests_${locale} update)
  # updpack plan (updpack.exe of this build) against the run, row by row.
  upd_windows_test(plan_agreement_tests_${locale} SOURCES e2e/plan_agreement_test.cpp
                   LIBS updtest_scenario TIMEOUT 900 ${args} ENV ${env})
  target_compile_definitions(plan_agreement_tests_${locale} PRIVATE UPDPACK_EXE="$<TARGET_FILE:updpack>")
  add_dependencies(plan_agreement_tests_${locale} update updpack)
endforeach()
# The scenarios that fill a locale's CD-ROM drive take turns with it.
set_tests_properties(plan_agreement_tests_ja update_run_tests_ja elevated_run_tests_ja PROPERTIES RESOURCE_LOCK wine_cdrom_p)
set_tests_properties(plan_agreement_tests_en update_run_tests_en elevated_run_tests_en PROPERTIES RESOURCE_LOCK wine_cdrom_q)

# The disk-space stop on a tmpfs of 512 KiB as a drive of its own (skipped without root).
upd_windows_test(update_disk_space_tests SOURCES e2e/disk_space_test.cpp LIBS updtest_scenario
                 ENV "UPD_UPDATE_EXE=Z:${CMAKE_BINARY_DIR}/update.exe"
                 WRAPPER ${CMAKE_SOURCE_DIR}/tests/wine/small-disk.sh 524288)
add_dependencies(update_disk_space_tests update)
