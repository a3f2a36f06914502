#include "config/text_format.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "config/cp932.h"

namespace upd {
namespace {

constexpr std::size_t kMaxText = kLongCapacity - 1;

std::string Digits(std::uint64_t v, unsigned base, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string s;
  do {
    s.insert(s.begin(), set[v % base]);
    v /= base;
  } while (v != 0);
  return s;
}

}  // namespace

LongString FormatText(std::string_view format, std::initializer_list<FormatArg> args) {
  std::string out;
  auto next = args.begin();
  std::size_t i = 0;
  // Stop early once the text cannot fit any more; one extra byte tells a cut apart.
  while (i < format.size() && out.size() <= kMaxText) {
    const char c = format[i++];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    bool left = false;
    bool zero = false;
    for (; i < format.size() && (format[i] == '-' || format[i] == '0'); ++i) {
      (format[i] == '-' ? left : zero) = true;
    }
    std::size_t width = 0;
    for (; i < format.size() && format[i] >= '0' && format[i] <= '9'; ++i) {
      width = std::min<std::size_t>(width * 10 + static_cast<std::size_t>(format[i] - '0'), kLongCapacity);
    }
    std::size_t precision = std::string::npos;
    if (i < format.size() && format[i] == '.') {
      precision = 0;
      for (++i; i < format.size() && format[i] >= '0' && format[i] <= '9'; ++i) {
        precision = std::min<std::size_t>(precision * 10 + static_cast<std::size_t>(format[i] - '0'), kLongCapacity);
      }
    }
    if (i >= format.size()) break;
    const char conv = format[i++];
    if (conv == '%') {
      out.push_back('%');
      continue;
    }
    const FormatArg* arg = next != args.end() ? &*next++ : nullptr;
    std::string field;
    bool numeric = false;
    switch (conv) {
      case 's':
        if (arg && arg->kind == FormatArg::Kind::kText) {
          std::string_view s = arg->text.substr(0, arg->text.find('\0'));
          field.assign(s.substr(0, std::min(precision, s.size())));
        }
        break;
      case 'c':
        if (arg && arg->kind == FormatArg::Kind::kNumber) field.push_back(static_cast<char>(arg->number));
        break;
      case 'd':
      case 'i':
        numeric = true;
        if (arg && arg->kind == FormatArg::Kind::kNumber) {
          const auto v = static_cast<std::int32_t>(arg->number);
          const auto mag = v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(std::int64_t{v})
                                 : static_cast<std::uint64_t>(v);
          field = Digits(mag, 10, false);
          if (v < 0) {
            // The zero padding goes between the sign and the digits.
            if (zero && !left && width > field.size() + 1) field.insert(0, width - field.size() - 1, '0');
            field.insert(field.begin(), '-');
          }
        }
        break;
      case 'u':
      case 'x':
      case 'X':
        numeric = true;
        if (arg && arg->kind == FormatArg::Kind::kNumber) {
          field = Digits(static_cast<std::uint32_t>(arg->number), conv == 'u' ? 10 : 16, conv == 'X');
        }
        break;
      default:
        field.push_back(conv);
        break;
    }
    if (field.size() < width) {
      const std::size_t pad = width - field.size();
      if (left) {
        field.append(pad, ' ');
      } else {
        field.insert(0, pad, numeric && zero ? '0' : ' ');
      }
    }
    out += field;
  }
  LongString result;
  result.assign(std::string_view(out).substr(0, cp932::CutLength(out, kMaxText)));
  return result;
}

}  // namespace upd

namespace upd {

LongString ConvertNoticeLineBreaks(std::string_view notice) {
  notice = notice.substr(0, ::strnlen(notice.data(), notice.size()));
  std::string out;
  for (std::size_t i = 0; i < notice.size();) {
    const std::size_t n = cp932::CharLength(notice, i);
    if (n == 1 && notice[i] == '\\' && i + 1 < notice.size() && notice[i + 1] == 'n') {
      out.push_back('\r');
      i += 2;
      continue;
    }
    out.append(notice.substr(i, n));
    i += n;
  }
  LongString result;
  result.assign(out);
  return result;
}

}  // namespace upd
