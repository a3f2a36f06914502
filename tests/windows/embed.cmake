# updpack embed against real MinGW executables under Wine: a small host with a manifest and a
# dialog gets a package embedded by the packer library, then Windows itself reads it back.
enable_language(RC)
add_executable(embed_host embed_host.cpp embed_host.rc)
target_include_directories(embed_host PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})  # for the manifest
upd_windows_test(embed_tests SOURCES embed_test.cpp LIBS updpacker imagehlp)
add_dependencies(embed_tests embed_host)
# updpack.exe itself, run by the test under Wine.
target_compile_definitions(embed_tests PRIVATE UPDPACK_EXE="$<TARGET_FILE:updpack>")
add_dependencies(embed_tests updpack)
