# Packages whose header asks for more memory than there is, under an address-space limit.
set(memory_limit_cli_sources cli_common.cpp host.cpp host_posix.cpp package_input.cpp
                             list_command.cpp verify_command.cpp extract_command.cpp)
list(TRANSFORM memory_limit_cli_sources PREPEND ${CMAKE_SOURCE_DIR}/tools/updpack/cli/)
upd_native_test(memory_limit_tests SOURCES memory_limit_test.cpp ${memory_limit_cli_sources}
                LIBS updpacker)
target_include_directories(memory_limit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools/updpack/cli)
