// The number parsers on any text against the C library: ParseDecimal32 is strtol with base 10
// clamped to the 32-bit range, ParseDecimalU64 is strtoull with base 10 (an overflow gives the
// largest value, a '-' negates modulo 2^64). Both read the text up to its first NUL.
#include <cerrno>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "config/profile.h"
#include "fuzz_check.h"
#include "no_boxes.h"


extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // c_str() ends it
  static_assert(sizeof(long) == 8, "the reference needs a 64-bit long");

  errno = 0;
  const long wide = std::strtol(text.c_str(), nullptr, 10);
  const long clamped = std::clamp<long>(wide, std::numeric_limits<std::int32_t>::min(),
                                        std::numeric_limits<std::int32_t>::max());
  Check(upd::ParseDecimal32(text) == clamped);

  errno = 0;
  const unsigned long long u = std::strtoull(text.c_str(), nullptr, 10);
  Check(upd::ParseDecimalU64(text) == u);
  return 0;
}
