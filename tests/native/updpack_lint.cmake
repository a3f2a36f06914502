# updpack lint: the check itself in process, and the command as a process (UPDPACK_EXE).
upd_native_test(updpack_lint_tests
  SOURCES updpack_lint_test.cpp ../../tools/updpack/lint.cpp ../../tools/updpack/host.cpp
          ../../tools/updpack/host_posix.cpp
  LIBS updpacker)
target_compile_definitions(updpack_lint_tests PRIVATE UPDPACK_EXE="$<TARGET_FILE:updpack>")
add_dependencies(updpack_lint_tests updpack)
