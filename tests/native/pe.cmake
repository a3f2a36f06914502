# The packer's PE resource reader/writer (updpack embed), against hand-built images.
upd_native_test(pe_tests SOURCES pe_test.cpp pe_embed_command_test.cpp pe_builder.cpp
                LIBS updpacker GTest::gmock)
