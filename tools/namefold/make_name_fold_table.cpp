// Writes updpack's name fold table (tools/updpack/lib/name_fold_table.inc) from the system itself:
// every character that code page 932 can spell, widened as the updater widens names, grouped by
// CompareStringW in the Japanese locale with NORM_IGNORECASE, the comparison the updater's entry
// lookup makes. Run it under Wine (or Windows) with the Japanese code page:
//
//   tests/wine/wine-run.sh build/windows/tools/namefold/make_name_fold_table.exe > table.inc
//
// updpack builds natively on systems without that comparison, so it carries the result as data;
// a Windows test holds the data against the comparison, character by character.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr LCID kJapaneseLocale = 0x0411;

struct Char {
  std::uint16_t code;  // single byte, or lead << 8 | trail
  wchar_t wide;
};

bool IsLead(unsigned b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// The one UTF-16 unit that `bytes` widens to, strictly (no default character).
bool Widen(const char* bytes, int n, wchar_t& out) {
  wchar_t w[4] = {};
  const int got = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes, n, w, 4);
  if (got != 1) return false;
  out = w[0];
  return true;
}

int Compare(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(kJapaneseLocale, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size()));
}

}  // namespace

int main() {
  std::vector<Char> chars;
  for (unsigned b = 1; b < 0x100; ++b) {
    if (IsLead(b)) continue;
    const char s[1] = {static_cast<char>(b)};
    wchar_t w;
    if (Widen(s, 1, w)) chars.push_back({static_cast<std::uint16_t>(b), w});
  }
  for (unsigned lead = 0x81; lead < 0x100; ++lead) {
    if (!IsLead(lead)) continue;
    for (unsigned trail = 1; trail < 0x100; ++trail) {
      const char s[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      wchar_t w;
      if (Widen(s, 2, w)) chars.push_back({static_cast<std::uint16_t>(lead << 8 | trail), w});
    }
  }

  // Characters the comparison does not see at all fold to nothing.
  const std::wstring empty;
  std::vector<bool> ignored(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) {
    const std::wstring c(1, chars[i].wide);
    ignored[i] = Compare(c, empty) == CSTR_EQUAL;
    const bool inside = Compare(L"a" + c + L"b", L"ab") == CSTR_EQUAL;
    if (inside != ignored[i]) {
      std::fprintf(stderr, "code %04X: ignored alone %d, between letters %d\n", chars[i].code,
                   int(ignored[i]), int(inside));
      return 1;
    }
  }

  // The others in the comparison's order; equal neighbours form one class, which folds to the
  // highest code among its members (so that letters fold to their lower case, as before).
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < chars.size(); ++i) {
    if (!ignored[i]) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return Compare(std::wstring(1, chars[a].wide), std::wstring(1, chars[b].wide)) == CSTR_LESS_THAN;
  });
  std::vector<std::uint16_t> fold(chars.size(), 0);
  for (std::size_t run = 0; run < order.size();) {
    std::size_t end = run + 1;
    const std::wstring first(1, chars[order[run]].wide);
    while (end < order.size() &&
           Compare(first, std::wstring(1, chars[order[end]].wide)) == CSTR_EQUAL) {
      ++end;
    }
    std::uint16_t top = 0;
    for (std::size_t k = run; k < end; ++k) top = std::max(top, chars[order[k]].code);
    for (std::size_t k = run; k < end; ++k) fold[order[k]] = top;
    run = end;
  }

  // Marks that repeat or prolong the character before them (ー, 々, ゝ and the like) are
  // compared by that character: after a kanji or a letter they count as it, after a kana they
  // keep a weight of their own, at the start they are all alike. They are the characters that
  // count as the kanji 亜 when they follow it.
  const std::wstring a = L"\u4E9C";
  std::vector<std::size_t> marks;
  for (std::size_t i = 0; i < chars.size(); ++i) {
    if (chars[i].wide != a[0] && Compare(a + chars[i].wide, a + a) == CSTR_EQUAL) marks.push_back(i);
  }
  // For every other character, how the marks behind it compare: a copy of it (empty), or the
  // class of each mark as the lowest code among the marks equal to it there.
  std::vector<std::vector<std::uint16_t>> kinds;
  std::vector<int> kind_of(chars.size(), -1);
  std::vector<std::pair<std::uint16_t, std::uint16_t>> standing;
  for (std::size_t i = 0; i < chars.size(); ++i) {
    if (std::find(marks.begin(), marks.end(), i) != marks.end()) continue;
    const std::wstring p(1, chars[i].wide);
    std::size_t copies = 0;
    for (std::size_t m : marks) copies += Compare(p + chars[m].wide, p + p) == CSTR_EQUAL;
    if (copies == marks.size()) continue;
    if (copies != 0) {
      std::fprintf(stderr, "code %04X: only some marks copy it\n", chars[i].code);
      return 1;
    }
    // A mark takes the character's weights without its case and width: behind Ａ it counts
    // as A. Such a mark stands for that other character.
    std::size_t stands_for = chars.size();
    for (std::size_t q = 0; q < chars.size() && stands_for == chars.size(); ++q) {
      if (std::find(marks.begin(), marks.end(), q) != marks.end()) continue;
      if (Compare(p + chars[marks[0]].wide, p + chars[q].wide) == CSTR_EQUAL) stands_for = q;
    }
    std::vector<std::uint16_t> classes;
    for (std::size_t m : marks) {
      std::uint16_t low = chars[m].code;
      for (std::size_t n : marks) {
        if (Compare(p + chars[m].wide, p + chars[n].wide) == CSTR_EQUAL) {
          low = std::min(low, chars[n].code);
        }
      }
      classes.push_back(low);
      const bool as_other = stands_for < chars.size() &&
                            Compare(p + chars[m].wide, p + chars[stands_for].wide) == CSTR_EQUAL;
      if (as_other != (stands_for < chars.size())) {
        std::fprintf(stderr, "code %04X: only some marks stand for %04X\n", chars[i].code,
                     chars[stands_for].code);
        return 1;
      }
    }
    if (stands_for < chars.size()) {
      standing.push_back({chars[i].code, fold[stands_for]});
      continue;
    }
    auto it = std::find(kinds.begin(), kinds.end(), classes);
    kind_of[i] = static_cast<int>(it - kinds.begin());
    if (it == kinds.end()) kinds.push_back(classes);
  }

  std::printf(
      "// Generated by tools/namefold/make_name_fold_table.cpp from CompareStringW (Japanese\n"
      "// locale, NORM_IGNORECASE) over every character code page 932 spells; do not edit.\n"
      "// Codes are single bytes, or lead << 8 | trail.\n"
      "//\n"
      "// kSpelt: the codes that widen to a character, as inclusive ranges.\n"
      "inline constexpr CodeRange kSpelt[] = {\n");
  for (std::size_t i = 0; i < chars.size();) {
    std::size_t j = i;
    while (j + 1 < chars.size() && chars[j + 1].code == chars[j].code + 1) ++j;
    std::printf("    {0x%04X, 0x%04X},\n", chars[i].code, chars[j].code);
    i = j + 1;
  }
  std::printf("};\n// kFolds: every code that folds to another (0: the comparison ignores it).\n"
              "inline constexpr CodeFold kFolds[] = {\n");
  std::size_t n = 0;
  for (std::size_t i = 0; i < chars.size(); ++i) {
    if (fold[i] == chars[i].code) continue;
    std::printf("    {0x%04X, 0x%04X},\n", chars[i].code, fold[i]);
    ++n;
  }
  std::printf("};\n// kMarks: the marks that take the character before them.\n"
              "inline constexpr std::uint16_t kMarks[] = {");
  for (std::size_t m : marks) std::printf("0x%04X, ", chars[m].code);
  std::printf("};\n// kMarkKinds: after a character of kind k, mark kMarks[j] compares as the\n"
              "// mark kMarkKinds[k][j]; after any character not in kMarkContexts, as that\n"
              "// character itself.\n"
              "inline constexpr std::uint16_t kMarkKinds[][%zu] = {\n", marks.size());
  for (const auto& k : kinds) {
    std::printf("    {");
    for (std::uint16_t c : k) std::printf("0x%04X, ", c);
    std::printf("},\n");
  }
  std::printf("};\n// kMarkStandsFor: after these codes a mark counts as the other character\n"
              "// (by its fold).\n"
              "inline constexpr CodeFold kMarkStandsFor[] = {\n");
  for (const auto& [code, q] : standing) std::printf("    {0x%04X, 0x%04X},\n", code, q);
  std::printf("};\n// kMarkContexts: inclusive ranges of codes and their kind.\n"
              "inline constexpr CodeKind kMarkContexts[] = {\n");
  for (std::size_t i = 0; i < chars.size();) {
    if (kind_of[i] < 0) {
      ++i;
      continue;
    }
    // Runs over codes without a character, never over codes of another behaviour.
    std::size_t j = i;
    while (j + 1 < chars.size() && kind_of[j + 1] == kind_of[i]) ++j;
    std::printf("    {0x%04X, 0x%04X, %d},\n", chars[i].code, chars[j].code, kind_of[i]);
    i = j + 1;
  }
  std::printf("};\n");
  std::fprintf(stderr, "%zu characters, %zu fold to another code, %zu marks, %zu kinds, %zu "
               "stand-ins\n", chars.size(), n, marks.size(), kinds.size(), standing.size());
  return 0;
}
