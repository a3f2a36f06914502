# Entry lookup and extraction, under Wine. Test executables record error boxes instead of
# showing them (no one would press OK), and watch or change system calls through their imports.
# The packer's token writer is built in directly: packages for these tests need nothing else of it.
add_library(updtest_package STATIC
  ${CMAKE_SOURCE_DIR}/tests/support/error_box_recorder.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/win/import_hook.cpp
  ${CMAKE_SOURCE_DIR}/tools/updpack/lib/stream_writer.cpp)
target_include_directories(updtest_package PUBLIC ${CMAKE_SOURCE_DIR}/tests/support
                                                  ${CMAKE_SOURCE_DIR}/tools/updpack/lib)
target_link_libraries(updtest_package PUBLIC updshell)

# Holds a file open without sharing, for the writes that cannot complete.
add_executable(file_holder package/file_holder.cpp)
target_link_libraries(file_holder PRIVATE shell32)

# Each runs in the Japanese bench (code page 932) and again with code page 1252.
foreach(locale ja en)
  if(locale STREQUAL "en")
    set(suffix _en)
    set(locale_args LOCALE en_US.UTF-8 ENV UPD_EXPECT_ACP=1252)
  else()
    set(suffix "")
    set(locale_args "")
  endif()
  upd_windows_test(package_lookup_tests${suffix} SOURCES package/lookup_test.cpp
                   LIBS updtest_package ${locale_args})
  upd_windows_test(package_extract_tests${suffix} SOURCES package/extract_test.cpp
                   LIBS updtest_package updtest_win ${locale_args})
  add_dependencies(package_extract_tests${suffix} file_holder)
endforeach()

# A tmpfs of 256 KiB as a drive of its own, mounted around the test (skipped without root).
upd_windows_test(package_small_disk_tests SOURCES package/small_disk_test.cpp
                 LIBS updtest_package
                 WRAPPER ${CMAKE_SOURCE_DIR}/tests/wine/small-disk.sh 262144)

# Package memory the system refuses: an executable of its own, since it replaces the allocator.
upd_windows_test(package_memory_tests SOURCES package/memory_test.cpp LIBS updtest_package updpacker)
