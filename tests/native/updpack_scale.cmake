# updpack with files and packages larger than its buffers, run as a process (UPDPACK_EXE).
upd_native_test(updpack_scale_tests SOURCES updpack_scale_test.cpp pe_builder.cpp
                LIBS updpacker GTest::gmock)
target_compile_definitions(updpack_scale_tests PRIVATE UPDPACK_EXE="$<TARGET_FILE:updpack>")
add_dependencies(updpack_scale_tests updpack)
