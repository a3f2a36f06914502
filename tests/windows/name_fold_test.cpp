// updpack's name fold held against the updater's own name comparison, over every character that
// code page 932 spells (single- and double-byte, the duplicate codes included): two names fold
// alike exactly when the updater's lookup cannot tell them apart.
//
// Rather than comparing every pair, the characters are sorted by the comparison itself: names
// it takes as equal then stand side by side, so each run of equal neighbours must be one fold,
// and no fold may appear in two runs.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "entry_name.h"
#include "platform/codepage.h"
#include "platform/name_compare.h"

namespace {

std::string Code(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    out += buf;
  }
  return out;
}

// Every character code page 932 spells, as its bytes, in order of code.
const std::vector<std::string>& Spelt() {
  static const std::vector<std::string> chars = [] {
    std::vector<std::string> out;
    for (unsigned b = 1; b < 0x100; ++b) {
      const std::string s(1, static_cast<char>(b));
      if (updpack::IsLeadByte(static_cast<unsigned char>(b))) continue;
      if (const auto w = upd::platform::WidenCp932(s); w && w->size() == 1) out.push_back(s);
    }
    for (unsigned lead = 0x81; lead < 0x100; ++lead) {
      if (!updpack::IsLeadByte(static_cast<unsigned char>(lead))) continue;
      for (unsigned trail = 1; trail < 0x100; ++trail) {
        const std::string s{static_cast<char>(lead), static_cast<char>(trail)};
        if (const auto w = upd::platform::WidenCp932(s); w && w->size() == 1) out.push_back(s);
      }
    }
    return out;
  }();
  return chars;
}

bool Same(const std::string& a, const std::string& b) {
  return upd::platform::CompareNamesIgnoreCase(a, b) == 0;
}

// Sorts `names` by the updater's comparison and reports every name where the fold and the
// comparison disagree. Returns the number of disagreements.
int CheckByGroups(std::vector<std::string> names, const std::string& what) {
  std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return upd::platform::CompareNamesIgnoreCase(a, b) < 0;
  });
  int faults = 0;
  std::map<std::string, std::size_t> run_of_fold;  // fold -> first name of its run
  std::size_t run = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0 && !Same(names[run], names[i])) run = i;
    const std::string fold = updpack::FoldEntryName(names[i]);
    const std::string run_fold = updpack::FoldEntryName(names[run]);
    if (fold != run_fold) {
      ADD_FAILURE() << what << ": the updater takes " << Code(names[i]) << " and "
                    << Code(names[run]) << " for one name, the fold does not";
      ++faults;
    }
    const auto [it, fresh] = run_of_fold.emplace(fold, run);
    if (!fresh && it->second != run) {
      ADD_FAILURE() << what << ": " << Code(names[i]) << " and " << Code(names[it->second])
                    << " fold alike, but the updater tells them apart";
      ++faults;
    }
    if (faults > 20) break;
  }
  return faults;
}

TEST(NameFold, BenchIsJapanese) { ASSERT_EQ(GetACP(), 932u); }

TEST(NameFold, SpeltCodesAreTheCharactersOfCodePage932) {
  std::vector<std::string> table;
  for (unsigned code = 1; code < 0x10000; ++code) {
    if (!updpack::IsSpeltCode(static_cast<std::uint16_t>(code))) continue;
    table.push_back(code < 0x100 ? std::string(1, static_cast<char>(code))
                                 : std::string{static_cast<char>(code >> 8),
                                               static_cast<char>(code & 0xFF)});
  }
  EXPECT_EQ(table, Spelt());
  EXPECT_GT(Spelt().size(), 9000u);  // JIS X 0208, the NEC and IBM rows, user-defined codes
}

TEST(NameFold, EveryCharacterAlone) {
  EXPECT_EQ(CheckByGroups(Spelt(), "alone"), 0);
}

// Marks such as ー and 々 compare by the character before them; after one character of each
// behaviour (a kanji, a letter, a hyphen, a kana, a half-width kana, a mark) every character
// must still fold as the comparison decides.
TEST(NameFold, EveryCharacterAfterEachKindOfCharacter) {
  const std::vector<std::string> before = {
      "\x88\x9F",  // 亜
      "A", "a", "-", " ",
      "\x83\x4A",  // カ
      "\x82\xA9",  // か
      "\xB6",      // ｶ
      "\x81\x5B",  // ー
      "\x87\x54",  // Ⅰ
      "\x82\x60",  // Ａ
      "\x81\x40",  // the ideographic space
      "\x81\x69",  // （
  };
  for (const std::string& p : before) {
    std::vector<std::string> names;
    for (const std::string& c : Spelt()) names.push_back(p + c);
    EXPECT_EQ(CheckByGroups(std::move(names), "after " + Code(p)), 0);
  }
}

// Every character followed by each mark, against the same character twice and against the
// other marks: where the marks take the character before them, it is all of them.
TEST(NameFold, EachMarkAfterEveryCharacter) {
  std::vector<std::string> marks;
  for (const std::string& c : Spelt()) {
    if (Same("\x88\x9F" + c, "\x88\x9F\x88\x9F") && c != "\x88\x9F") marks.push_back(c);
  }
  ASSERT_FALSE(marks.empty());
  int faults = 0;
  for (const std::string& p : Spelt()) {
    if (std::find(marks.begin(), marks.end(), p) != marks.end()) continue;
    std::vector<std::string> names = {p + p};
    for (const std::string& m : marks) names.push_back(p + m);
    for (std::size_t i = 0; i < names.size() && faults < 20; ++i) {
      for (std::size_t j = i + 1; j < names.size(); ++j) {
        const bool same = Same(names[i], names[j]);
        const bool folded = updpack::FoldEntryName(names[i]) == updpack::FoldEntryName(names[j]);
        if (same != folded) {
          ADD_FAILURE() << Code(names[i]) << " and " << Code(names[j]) << ": the updater says "
                        << (same ? "one name" : "two names") << ", the fold the other";
          ++faults;
        }
      }
    }
  }
  EXPECT_EQ(faults, 0);
}

// The cases the fold exists for, spelt out.
TEST(NameFold, NamesTheUpdaterTakesForOne) {
  struct Row {
    const char* what;
    std::string a, b;
    bool one;
  };
  const Row rows[] = {
      {"Roman numerals (Ⅰ, ⅰ)", "\x87\x54.txt", "\xFA\x40.txt", true},
      {"two codes of ≒", "\x81\xE0", "\x87\x90", true},
      {"亜々 and 亜亜", "\x88\x9F\x81\x58", "\x88\x9F\x88\x9F", true},
      {"カー and カア", "\x83\x4A\x81\x5B", "\x83\x4A\x83\x41", false},
      // Marks in a row all look back to the last character that is no mark.
      {"亜々々 and 亜亜亜", "\x88\x9F\x81\x58\x81\x58", "\x88\x9F\x88\x9F\x88\x9F", true},
      {"カーー and カー―", "\x83\x4A\x81\x5B\x81\x5B", "\x83\x4A\x81\x5B\x81\x5C", true},
      {"カーー and カーア", "\x83\x4A\x81\x5B\x81\x5B", "\x83\x4A\x81\x5B\x83\x41", false},
      {"ーー at the start and 々ヽ", "\x81\x5B\x81\x5B", "\x81\x58\x81\x52", true},
      {"Ａー and ＡA", "\x82\x60\x81\x5B", "\x82\x60" "A", true},
      {"ASCII case", "Update.Ini", "UPDATE.INI", true},
      {"katakana and hiragana", "\x83\x41", "\x82\xA0", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(Same(r.a, r.b), r.one) << "the updater's comparison is not what this row says";
    EXPECT_EQ(updpack::FoldEntryName(r.a) == updpack::FoldEntryName(r.b), r.one);
  }
}

}  // namespace
