// Overflows a buffer on purpose, built with the flags of every other program of the build, so a
// test sees that the checks those flags promise are in. N comes from the command line so that
// the compiler can neither refuse nor fold the overflow.
//   overflow_host stack N   writes N bytes into a 16-byte local array through a pointer of
//                           unknown extent: the canary of -fstack-protector-strong stops it
//   overflow_host string N  copies a string of N characters into a 16-byte array that a larger
//                           structure holds: only the checked strcpy of _FORTIFY_SOURCE=2 stops
//                           that, as nothing outside the structure is touched
// Both checks end the program with a trap (an illegal instruction); the program ends itself with
// the exception's code then, so that no debugger is started. "done" when nothing stopped it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

LONG WINAPI EndWithTheCode(EXCEPTION_POINTERS* e) {
  ExitProcess(e->ExceptionRecord->ExceptionCode);
}

// Out of line, so that the caller's array is written through a pointer of unknown extent.
__attribute__((noinline)) void Fill(char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) p[i] = 'A';
}

__attribute__((noinline)) int ThroughTheStack(std::size_t n) {
  char buf[16];
  Fill(buf, n);
  return buf[0];
}

struct Record {
  char name[16];
  char rest[240];
};

__attribute__((noinline)) int ThroughStrcpy(const std::string& text) {
  Record r;
  std::strcpy(r.name, text.c_str());
  Fill(r.rest, 1);  // r is used, not optimised away
  return r.name[0] + r.rest[0];
}

}  // namespace

int main(int argc, char** argv) {
  SetUnhandledExceptionFilter(EndWithTheCode);
  if (argc != 3) return 2;
  const std::string_view how = argv[1];
  const std::size_t n = std::strtoul(argv[2], nullptr, 10);
  if (n > 200) return 2;
  int r = -1;
  if (how == "stack") r = ThroughTheStack(n);
  if (how == "string") r = ThroughStrcpy(std::string(n, 'B'));
  if (r < 0) return 2;
  std::printf("done\n");
  std::fflush(stdout);
  return 0;
}
