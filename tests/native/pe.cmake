# The packer's PE resource reader/writer and `updpack embed`, against hand-built images.
set(updpack_cli_sources embed_command.cpp cli_common.cpp host.cpp host_posix.cpp package_input.cpp
                        list_command.cpp verify_command.cpp)
list(TRANSFORM updpack_cli_sources PREPEND ${CMAKE_SOURCE_DIR}/tools/updpack/cli/)
upd_native_test(pe_tests SOURCES pe_test.cpp pe_embed_command_test.cpp pe_builder.cpp
                                 ${updpack_cli_sources}
                LIBS updpacker GTest::gmock)
target_include_directories(pe_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools/updpack/cli)
target_compile_definitions(pe_tests PRIVATE UPDPACK_EXE="$<TARGET_FILE:updpack>")
add_dependencies(pe_tests updpack)
