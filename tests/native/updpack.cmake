# updpack: the encoder, the package writer and reader, and the command-line tool, which the
# CLI tests run as a process (UPDPACK_EXE).
upd_native_test(updpack_tests
  SOURCES updpack_encoder_test.cpp updpack_package_test.cpp updpack_cli_test.cpp
          ../../bench/corpus.cpp
  LIBS updpacker)
target_include_directories(updpack_tests PRIVATE ${CMAKE_SOURCE_DIR}/bench)
target_compile_definitions(updpack_tests PRIVATE UPDPACK_EXE="$<TARGET_FILE:updpack>")
add_dependencies(updpack_tests updpack)
