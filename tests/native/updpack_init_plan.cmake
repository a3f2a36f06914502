# updpack init and plan as the publisher runs them: the built tool as a process (UPDPACK_EXE),
# against folders, packages and updaters (a hand-built stub with the package embedded).
upd_native_test(updpack_init_plan_tests SOURCES updpack_init_plan_test.cpp pe_builder.cpp LIBS updcore)
target_compile_definitions(updpack_init_plan_tests PRIVATE UPDPACK_EXE="$<TARGET_FILE:updpack>")
add_dependencies(updpack_init_plan_tests updpack)
