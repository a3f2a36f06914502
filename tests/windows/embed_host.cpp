// A stand-in for the updater: it looks for its package exactly as the updater does
// (FindResource(own module, 102, "UPDATE")) and reports what it found on stdout, so the test
// sees what a process gets from its own embedded resource. It also builds its dialog from the
// template, to show the template survived.
//   stdout: "UPDATE <size> <FNV-1a of the bytes, hex>" and "DIALOG ok|missing"
//   exit code: 0 when the package was found, 2 when not, 3 when the dialog failed
#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace {

std::uint32_t Fnv1a(const unsigned char* p, DWORD n) {
  std::uint32_t h = 2166136261u;
  for (DWORD i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

INT_PTR CALLBACK NoOpProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

}  // namespace

int main() {
  HMODULE self = GetModuleHandleW(nullptr);
  int code = 2;
  HRSRC res = FindResourceW(self, MAKEINTRESOURCEW(102), L"UPDATE");
  const DWORD size = res ? SizeofResource(self, res) : 0;
  HGLOBAL loaded = res ? LoadResource(self, res) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (bytes != nullptr && size != 0) {
    std::printf("UPDATE %lu %08x\n", static_cast<unsigned long>(size),
                Fnv1a(static_cast<const unsigned char*>(bytes), size));
    code = 0;
  } else {
    std::printf("UPDATE missing\n");
  }
  HWND dialog = CreateDialogParamW(self, MAKEINTRESOURCEW(100), nullptr, NoOpProc, 0);
  std::printf("DIALOG %s\n", dialog ? "ok" : "missing");
  if (dialog) {
    DestroyWindow(dialog);
  } else if (code == 0) {
    code = 3;
  }
  std::fflush(stdout);
  return code;
}
