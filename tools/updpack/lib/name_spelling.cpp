#include "name_spelling.h"

#include <cstdint>

namespace updpack {
namespace {

std::string Utf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | c >> 6);
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | c >> 12);
    s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | c >> 18);
    s += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

// The code points of well-formed UTF-8; nothing for anything else.
std::optional<std::u32string> Decode(std::string_view s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return std::nullopt;
    char32_t c = n == 1 ? b : b & (0x7F >> n);
    for (int k = 1; k < n; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return std::nullopt;
      c = c << 6 | (t & 0x3F);
    }
    out += c;
    i += static_cast<std::size_t>(n);
  }
  return out;
}

// The kana that a following combining voiced (U+3099) or semi-voiced (U+309A) sound mark
// turns into one character, as Unicode composes them.
char32_t Compose(char32_t base, char32_t mark) {
  const bool katakana = base >= 0x30A1 && base <= 0x30FE;
  const char32_t h = katakana ? base - 0x60 : base;  // the hiragana of the same sound
  if (mark == 0x3099) {
    if ((h >= 0x304B && h <= 0x3062 && h % 2 == 1) || (h >= 0x3064 && h <= 0x3068 && h % 2 == 0)) {
      return base + 1;  // か-ぢ, つ-ど
    }
    if (h >= 0x306F && h <= 0x307B && (h - 0x306F) % 3 == 0) return base + 1;  // は-ほ
    if (base == 0x3046) return 0x3094;                                        // ゔ
    if (base == 0x309D || base == 0x30FD) return base + 1;                    // ゞ, ヾ
    if (base == 0x30A6) return 0x30F4;                                        // ヴ
    if (base >= 0x30EF && base <= 0x30F2) return base + 8;                    // ヷ-ヺ
  }
  if (mark == 0x309A && h >= 0x306F && h <= 0x307B && (h - 0x306F) % 3 == 0) return base + 2;
  return 0;
}

struct Fold {
  char32_t from, to;
};
// Pairs that code page 932 holds in one code; Windows shows the second.
constexpr Fold kFolds[] = {{0x301C, 0xFF5E}, {0x2016, 0x2225}, {0x2212, 0xFF0D},
                           {0x00A2, 0xFFE0}, {0x00A3, 0xFFE1}, {0x00AC, 0xFFE2},
                           {0x2014, 0x2015}};

}  // namespace

NameSpelling SpellForCodePage932(std::string_view utf8) {
  NameSpelling r;
  const auto decoded = Decode(utf8);
  if (!decoded) {
    r.utf8 = std::string(utf8);
    return r;
  }
  std::u32string text;
  for (const char32_t c : *decoded) {
    if (!text.empty()) {
      if (const char32_t composed = Compose(text.back(), c)) {
        r.notes.push_back("written in decomposed form (" + Utf8(text.back()) + " and U+" +
                          (c == 0x3099 ? std::string("3099") : std::string("309A")) +
                          "), composed to " + Utf8(composed) + " before conversion");
        text.back() = composed;
        continue;
      }
    }
    text += c;
  }
  std::string out;
  for (const char32_t c : text) {
    if (c == 0x203E) {
      r.refusal = "code page 932 has no " + Utf8(c) + ": it would be stored as ~, a different "
                  "character";
    } else if (c == 0x00A5) {
      r.refusal = "code page 932 stores " + Utf8(c) + " as the byte 5C, which Windows reads as "
                  "\\, the path separator";
    }
    char32_t shown = c;
    for (const Fold& f : kFolds) {
      if (c == f.from) shown = f.to;
    }
    if (shown != c) {
      r.notes.push_back(Utf8(c) + " is stored as " + Utf8(shown) + " (code page 932 has one code "
                        "for both, and Windows shows it as " + Utf8(shown) + ")");
    }
    out += Utf8(shown);
  }
  r.utf8 = std::move(out);
  return r;
}

}  // namespace updpack
