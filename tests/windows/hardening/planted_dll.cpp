// A DLL that an attacker would put beside the updater under the name of a system DLL. Loaded
// into a process, it leaves "<its own file name>.loaded" beside itself with the path of the
// program that loaded it, so a test sees every load, whichever name the copy carries. Its code
// has run by then, which is the whole harm. It exports nothing: a program that goes on to call
// into it fails there, which is no concern of a test that fails on the marker anyway.
#include <windows.h>

#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t own[MAX_PATH] = {}, program[MAX_PATH] = {};
  const DWORD own_length = GetModuleFileNameW(self, own, MAX_PATH);
  const DWORD program_length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  if (own_length == 0 || own_length >= MAX_PATH) return TRUE;
  const std::wstring marker = std::wstring(own, own_length) + L".loaded";
  HANDLE h = CreateFileW(marker.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return TRUE;
  DWORD written = 0;
  WriteFile(h, program, program_length * sizeof(wchar_t), &written, nullptr);
  WriteFile(h, L"\r\n", 2 * sizeof(wchar_t), &written, nullptr);
  CloseHandle(h);
  return TRUE;
}
