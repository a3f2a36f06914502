// Points this executable's import of one system function at a replacement while the object
// lives: tests count the calls the code under test really makes, or make a call fail.
// Only the test executable's own import table changes; system libraries are untouched.
#pragma once

#include <windows.h>

namespace updtest::win {

class ImportHook {
 public:
  // `dll` as the import table names it (any letter case), e.g. "kernel32.dll".
  ImportHook(const char* dll, const char* function, void* replacement);
  ~ImportHook();
  ImportHook(const ImportHook&) = delete;
  ImportHook& operator=(const ImportHook&) = delete;

  bool installed() const { return slot_ != nullptr; }
  // The address the import held before: call this to reach the real function.
  void* original() const { return original_; }

 private:
  void** slot_ = nullptr;
  void* original_ = nullptr;
};

}  // namespace updtest::win
