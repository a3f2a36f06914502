# Our profile reader and the system's GetPrivateProfileStringA on the same rows (code page 932);
# then our reader alone under an English locale, where it must give the same bytes (with SETUP.INI
# read as the run reads it, through the Win32 half).
upd_windows_test(profile_system_tests
  SOURCES profile_system_test.cpp ../support/error_box_recorder.cpp
  LIBS updshell)
upd_windows_test(profile_system_tests_en
  SOURCES profile_system_test.cpp ../support/error_box_recorder.cpp
  LIBS updshell
  LOCALE en_US.UTF-8
  ENV GTEST_FILTER=ProfileRows.OurReader* UPD_EXPECT_ACP=1252)
