# A signed updater read by `updpack list`, `verify` and `lint` (the tool run as a process).
upd_native_test(pe_signed_tests SOURCES pe_signed_test.cpp pe_builder.cpp
                LIBS updpacker GTest::gmock)
target_compile_definitions(pe_signed_tests PRIVATE UPDPACK_EXE="$<TARGET_FILE:updpack>")
add_dependencies(pe_signed_tests updpack)
