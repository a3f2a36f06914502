# updpack lint: the check itself in process, and the command as a process (UPDPACK_EXE).
upd_native_test(updpack_lint_tests
  SOURCES updpack_lint_test.cpp ../../tools/updpack/cli/lint.cpp ../../tools/updpack/cli/host.cpp
          ../../tools/updpack/cli/host_posix.cpp
  LIBS updpacker)
target_include_directories(updpack_lint_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools/updpack/cli)
target_compile_definitions(updpack_lint_tests PRIVATE UPDPACK_EXE="$<TARGET_FILE:updpack>")
add_dependencies(updpack_lint_tests updpack)
