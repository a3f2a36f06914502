# updpack.exe under Wine: Japanese names in and out through the wide API, under the Japanese
# and an English ANSI code page alike.
foreach(suffix "" "_en")
  if(suffix STREQUAL "_en")
    set(locale LOCALE en_US.UTF-8)
  else()
    set(locale)
  endif()
  upd_windows_test(updpack_exe_tests${suffix} SOURCES updpack_cli_test.cpp LIBS updcore ${locale})
  target_compile_definitions(updpack_exe_tests${suffix} PRIVATE UPDPACK_EXE="$<TARGET_FILE:updpack>")
  add_dependencies(updpack_exe_tests${suffix} updpack)
endforeach()
