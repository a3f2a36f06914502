# Every command the docs show, run: tests/docs/run-doc-commands.sh runs the ```sh blocks of
# README.md and docs/*.md with this build's updpack on PATH (and a stand-in for update.exe beside
# it, from doc_stub), and compares the outputs the docs show. The marking: docs/design.md,
# "The docs' commands".
add_executable(doc_stub ${CMAKE_SOURCE_DIR}/tests/docs/doc_stub.cpp pe_builder.cpp)
# pe_builder.cpp writes its fields with the core's byte-order helpers (a header only).
target_include_directories(doc_stub PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/src)
add_test(NAME doc_commands
         COMMAND ${CMAKE_SOURCE_DIR}/tests/docs/run-doc-commands.sh $<TARGET_FILE:updpack>
                 $<TARGET_FILE:doc_stub> ${CMAKE_CURRENT_BINARY_DIR}/doc-commands)
set_tests_properties(doc_commands PROPERTIES TIMEOUT 600)
