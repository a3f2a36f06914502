# What an elevated updater must not let in: DLLs planted beside it, and an image without the
# system's exploit mitigations, before or after a package is embedded.

# A DLL that leaves a marker when loaded, copied under system DLL names; a program that loads
# DLLs by bare name, the load the updater must not make.
add_library(planted_dll SHARED hardening/planted_dll.cpp)
set_target_properties(planted_dll PROPERTIES PREFIX "" OUTPUT_NAME planted_dll)
target_link_options(planted_dll PRIVATE -s)
add_executable(dll_probe WIN32 hardening/dll_probe.cpp)
target_link_options(dll_probe PRIVATE -municode)

# Uses the ja scenarios' CD-ROM drive (P:); the scenarios that fill that drive take turns.
upd_windows_test(planted_dll_tests SOURCES hardening/planted_dll_test.cpp LIBS updtest_scenario
                 TIMEOUT 600
                 ENV "UPD_UPDATE_EXE=Z:${CMAKE_BINARY_DIR}/update.exe" UPD_CDROM=P:
                     "UPD_CDROM_DIR=Z:${UPD_WINE_ROOT}/cdrom-p")
add_dependencies(planted_dll_tests update planted_dll dll_probe)
set_tests_properties(planted_dll_tests update_run_tests_ja PROPERTIES RESOURCE_LOCK wine_cdrom_p)

# update.exe's image before and after embedding (imports, mitigations, relocations), and the
# build's stack and string checks in a program that overflows on purpose.
add_executable(overflow_host hardening/overflow_host.cpp)
upd_windows_test(hardening_tests SOURCES hardening/image_test.cpp LIBS updpacker updtest_win
                 ENV "UPD_UPDATE_EXE=Z:${CMAKE_BINARY_DIR}/update.exe")
target_compile_definitions(hardening_tests PRIVATE UPDPACK_EXE="$<TARGET_FILE:updpack>")
add_dependencies(hardening_tests update updpack overflow_host)
