#include "corpus.h"

#include <algorithm>
#include <cmath>

namespace updbench {
namespace {

// A small fixed generator (xorshift64*), so the corpus is the same with any standard library.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint64_t Next() {
    s_ ^= s_ >> 12;
    s_ ^= s_ << 25;
    s_ ^= s_ >> 27;
    return s_ * 0x2545F4914F6CDD1Dull;
  }
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>((Next() >> 32) % n); }
  // Small values far more often than large ones (word frequencies in a text).
  std::uint32_t Zipf(std::uint32_t n) {
    const double u = static_cast<double>(Next() >> 11) / 9007199254740992.0;
    return std::min(n - 1, static_cast<std::uint32_t>(std::pow(static_cast<double>(n), u * u)) - 1);
  }

 private:
  std::uint64_t s_;
};

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& out, std::initializer_list<std::uint8_t> b) {
  for (std::uint8_t x : b) out.push_back(x);
}
void Put(Bytes& out, const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }
void Put16(Bytes& out, std::uint32_t v) { Put(out, {std::uint8_t(v), std::uint8_t(v >> 8)}); }
void Put32(Bytes& out, std::uint32_t v) {
  Put(out, {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)});
}

// Code page 932 double-byte characters by kind.
void Hiragana(Bytes& out, Rng& r) { Put(out, {0x82, std::uint8_t(0x9F + r.Below(83))}); }
void Katakana(Bytes& out, Rng& r) {
  std::uint8_t t = std::uint8_t(0x40 + r.Below(86));
  if (t >= 0x7F) ++t;
  Put(out, {0x83, t});
}
void Kanji(Bytes& out, std::uint32_t index) {
  // Level-1 kanji, rows 0x89..0x97, each with 188 trail bytes (0x40-0x7E, 0x80-0xFC).
  const std::uint8_t lead = std::uint8_t(0x89 + index / 188 % 15);
  std::uint8_t trail = std::uint8_t(0x40 + index % 188);
  if (trail >= 0x7F) ++trail;
  Put(out, {lead, trail});
}

}  // namespace

std::vector<std::uint8_t> ScriptText(std::size_t size, std::uint32_t seed) {
  Rng r(seed);
  // A vocabulary of words, each a few kanji with kana endings, or a katakana loan word.
  std::vector<Bytes> words(3000);
  for (Bytes& w : words) {
    if (r.Below(5) == 0) {
      for (std::uint32_t i = 0, n = 2 + r.Below(4); i < n; ++i) Katakana(w, r);
      if (r.Below(2)) Put(w, {0x81, 0x5B});  // ー
    } else {
      for (std::uint32_t i = 0, n = 1 + r.Below(2); i < n; ++i) Kanji(w, r.Zipf(2800));
      for (std::uint32_t i = 0, n = r.Below(3); i < n; ++i) Hiragana(w, r);
    }
  }
  const std::vector<Bytes> particles = {{0x82, 0xCD}, {0x82, 0xAA}, {0x82, 0xF0}, {0x82, 0xC9},
                                        {0x82, 0xC5}, {0x82, 0xC6}, {0x82, 0xCC}, {0x82, 0xE0}};
  const std::vector<Bytes> endings = {{0x82, 0xC5, 0x82, 0xB7, 0x81, 0x42},        // です。
                                      {0x82, 0xDC, 0x82, 0xB7, 0x81, 0x42},        // ます。
                                      {0x82, 0xBE, 0x82, 0xE6, 0x81, 0x49},        // だよ！
                                      {0x82, 0xA9, 0x82, 0xC8, 0x81, 0x48},        // かな？
                                      {0x81, 0x63, 0x81, 0x63}};                   // ……
  std::vector<Bytes> speakers(12);
  for (Bytes& s : speakers) {
    for (std::uint32_t i = 0, n = 2 + r.Below(2); i < n; ++i) Kanji(s, r.Zipf(2800));
  }
  Bytes out;
  out.reserve(size + 256);
  std::uint32_t scene = 0;
  while (out.size() < size) {
    const std::uint32_t what = r.Below(20);
    if (what == 0) {
      Put(out, "*scene" + std::to_string(++scene) + "\r\n@bg storage=\"bg" +
                   std::to_string(r.Below(60)) + "\" time=" + std::to_string(250 * r.Below(5)) +
                   "\r\n");
    } else if (what == 1) {
      Put(out, "@playse storage=\"se" + std::to_string(r.Below(40)) + "\" buf=1\r\n");
    } else if (what == 2) {
      Put(out, "@chara name=\"c" + std::to_string(r.Below(12)) + "\" face=" +
                   std::to_string(r.Below(8)) + " pos=" + std::to_string(r.Below(3)) + "\r\n");
    } else {
      Put(out, {0x81, 0x79});  // 【
      const Bytes& s = speakers[r.Zipf(12)];
      out.insert(out.end(), s.begin(), s.end());
      Put(out, {0x81, 0x7A, 0x81, 0x75});  // 】「
      for (std::uint32_t i = 0, n = 3 + r.Below(12); i < n; ++i) {
        const Bytes& w = words[r.Zipf(3000)];
        out.insert(out.end(), w.begin(), w.end());
        const Bytes& p = particles[r.Below(8)];
        out.insert(out.end(), p.begin(), p.end());
        if (r.Below(6) == 0) Put(out, {0x81, 0x41});  // 、
      }
      const Bytes& e = endings[r.Below(5)];
      out.insert(out.end(), e.begin(), e.end());
      Put(out, {0x81, 0x76});  // 」
      Put(out, "[p]\r\n");
    }
  }
  out.resize(size);
  return out;
}

std::vector<std::uint8_t> Bitmap(std::size_t size, std::uint32_t seed) {
  Rng r(seed);
  // A 24-bit bottom-up BMP of about `size` bytes: gradient backgrounds, flat shapes, and a
  // little noise, as game graphics saved without compression look.
  const std::uint32_t width = 640;
  const std::uint32_t row = width * 3;
  const std::uint32_t height = std::max<std::uint32_t>(1, static_cast<std::uint32_t>((size - 54) / row));
  Bytes out;
  out.reserve(size);
  Put(out, {'B', 'M'});
  Put32(out, 54 + row * height);
  Put32(out, 0);
  Put32(out, 54);
  Put32(out, 40);
  Put32(out, width);
  Put32(out, height);
  Put16(out, 1);
  Put16(out, 24);
  for (int i = 0; i < 6; ++i) Put32(out, 0);
  struct Shape { std::uint32_t x0, y0, x1, y1; std::uint8_t c[3]; bool round; };
  std::vector<Shape> shapes(40);
  for (Shape& s : shapes) {
    s.x0 = r.Below(width);
    s.y0 = r.Below(height);
    s.x1 = s.x0 + 20 + r.Below(200);
    s.y1 = s.y0 + 10 + r.Below(120);
    for (auto& c : s.c) c = std::uint8_t(r.Below(256));
    s.round = r.Below(2) == 1;
  }
  const bool noisy = r.Below(4) == 0;  // some images are photos, most are flat art
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      // Background: a vertical gradient with a few horizontal bands.
      std::uint8_t px[3] = {std::uint8_t(40 + y * 160 / height), std::uint8_t(90 + (x / 160) * 20),
                            std::uint8_t(200 - y * 100 / height)};
      for (const Shape& s : shapes) {
        if (x < s.x0 || x >= s.x1 || y < s.y0 || y >= s.y1) continue;
        if (s.round) {
          const double cx = (s.x0 + s.x1) / 2.0, cy = (s.y0 + s.y1) / 2.0;
          const double rx = (s.x1 - s.x0) / 2.0, ry = (s.y1 - s.y0) / 2.0;
          const double dx = (x - cx) / rx, dy = (y - cy) / ry;
          if (dx * dx + dy * dy > 1.0) continue;
        }
        std::copy(s.c, s.c + 3, px);
      }
      if (noisy) {
        for (auto& c : px) c = std::uint8_t(std::clamp<int>(c + int(r.Below(9)) - 4, 0, 255));
      } else if (r.Below(16) == 0) {
        px[r.Below(3)] ^= 1;  // dithering
      }
      Put(out, {px[0], px[1], px[2]});
    }
  }
  out.resize(size, 0);
  return out;
}

std::vector<std::uint8_t> Executable(std::size_t size, std::uint32_t seed) {
  Rng r(seed);
  // Code made of recurring instruction shapes with varying operands, then tables of
  // addresses, then strings, with zero fill between sections.
  struct Shape {
    Bytes bytes;
    std::size_t at;    // where the operand goes
    std::size_t size;  // operand bytes: 0, 1 or 4
    bool call;         // a rel32 call: the operand points at one of a few functions
  };
  const std::vector<Shape> shapes = {
      {{0x55, 0x48, 0x89, 0xE5}, 0, 0, false},                    // push rbp; mov rbp, rsp
      {{0x48, 0x83, 0xEC, 0x20}, 0, 0, false},                    // sub rsp, 32
      {{0x48, 0x8B, 0x45, 0x00}, 3, 1, false},                    // mov rax, [rbp+d8]
      {{0x48, 0x89, 0x45, 0x00}, 3, 1, false},                    // mov [rbp+d8], rax
      {{0x8B, 0x4D, 0x00}, 2, 1, false},                          // mov ecx, [rbp+d8]
      {{0xE8, 0x00, 0x00, 0x00, 0x00}, 1, 4, true},               // call rel32
      {{0x48, 0x8D, 0x0D, 0x00, 0x00, 0x00, 0x00}, 3, 4, false},  // lea rcx, [rip+d32]
      {{0x85, 0xC0, 0x74, 0x00}, 3, 1, false},                    // test eax, eax; je d8
      {{0x31, 0xC0}, 0, 0, false},                                // xor eax, eax
      {{0xC9, 0xC3}, 0, 0, false},                                // leave; ret
      {{0x48, 0x83, 0xC4, 0x20, 0x5D, 0xC3}, 0, 0, false},        // add rsp, 32; pop rbp; ret
      {{0xFF, 0x15, 0x00, 0x00, 0x00, 0x00}, 2, 4, true},         // call [rip+d32]
      {{0x89, 0xC1}, 0, 0, false},                                // mov ecx, eax
      {{0x41, 0xB8, 0x00, 0x00, 0x00, 0x00}, 2, 4, false},        // mov r8d, imm32
  };
  Bytes out;
  out.reserve(size + 64);
  const std::size_t code_end = size * 6 / 10;
  const std::size_t table_end = size * 8 / 10;
  while (out.size() < code_end) {
    for (std::uint32_t i = 0, n = 8 + r.Below(40); i < n; ++i) {
      const Shape& s = shapes[r.Zipf(static_cast<std::uint32_t>(shapes.size()))];
      const std::size_t at = out.size() + s.at;
      out.insert(out.end(), s.bytes.begin(), s.bytes.end());
      std::uint32_t v = s.size == 1 ? r.Below(16) * 8 : r.Below(4096);
      if (s.call) v = 0x2000 + r.Zipf(300) * 48 - static_cast<std::uint32_t>(at);
      for (std::size_t k = 0; k < s.size; ++k) out[at + k] = std::uint8_t(v >> (8 * k));
    }
    while (out.size() % 16) out.push_back(0xCC);  // padding between functions
  }
  out.resize((out.size() + 511) & ~std::size_t{511}, 0);
  std::uint32_t addr = 0x40001000;
  while (out.size() < table_end) {
    addr += 4 + r.Below(64);
    Put32(out, addr);
    Put32(out, r.Below(8) == 0 ? 0x00020000 | r.Below(256) : 0);
  }
  static const char* const names[] = {"CreateFileW", "ReadFile", "WriteFile", "CloseHandle",
                                      "GetLastError", "MessageBoxW", "RegOpenKeyExW",
                                      "DirectDrawCreate", "timeGetTime", "waveOutWrite"};
  while (out.size() < size) {
    Put16(out, r.Below(400));
    Put(out, names[r.Below(10)]);
    out.push_back(0);
    if (r.Below(3) == 0) out.resize(out.size() + 16 * (1 + r.Below(8)), 0);
  }
  out.resize(size);
  return out;
}

std::vector<std::uint8_t> Media(std::size_t size, std::uint32_t seed) {
  Rng r(seed);
  // Compressed audio or video: pages with a small header and random payload.
  Bytes out;
  out.reserve(size + 4096);
  std::uint32_t page = 0;
  while (out.size() < size) {
    Put(out, {'O', 'g', 'g', 'S', 0, 0});
    Put32(out, page * 1024);
    Put32(out, 0);
    Put32(out, 0x1234);
    Put32(out, page++);
    for (int i = 0; i < 4000 / 8; ++i) {
      const std::uint64_t v = r.Next();
      for (int k = 0; k < 8; ++k) out.push_back(std::uint8_t(v >> (8 * k)));
    }
  }
  out.resize(size);
  return out;
}

std::vector<CorpusFile> MakeCorpus(std::size_t total, std::uint32_t seed) {
  std::vector<CorpusFile> files;
  auto add = [&](const char* kind, std::size_t share, std::size_t pieces, auto make) {
    const std::size_t each = std::max<std::size_t>(64, total * share / 100 / pieces);
    for (std::size_t i = 0; i < pieces; ++i) {
      files.push_back({kind, std::string(kind) + std::to_string(i), make(each, seed + 97 * i)});
    }
  };
  add("text", 25, 4, ScriptText);
  add("bitmap", 35, 4, Bitmap);
  add("binary", 25, 2, Executable);
  add("media", 15, 2, Media);
  return files;
}

}  // namespace updbench
