# updpack's name fold against the updater's name comparison, over all of code page 932.
upd_windows_test(name_fold_tests SOURCES name_fold_test.cpp LIBS updpacker updshell TIMEOUT 900)
