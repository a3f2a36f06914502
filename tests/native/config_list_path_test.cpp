// The list splitter and path joining: the edge cases callers rely on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/state.h"
#include "config/profile.h"

namespace {

struct Item {
  std::string text;
  int disc;
};

struct ListCase {
  const char* name;
  std::string value;
  int disc_before;
  std::vector<Item> items;  // in order, each with DiscNumber after its call
  std::size_t cursor_at;    // offset of the cursor once the items are taken
  upd::ListStep ends_with = upd::ListStep::kEnd;  // what every call after the items gives
};

// Runs the whole list and checks items, discs, the final cursor, and that the list stays ended.
void CheckList(const ListCase& c) {
  SCOPED_TRACE(c.name);
  std::int32_t disc = c.disc_before;
  std::vector<char> value(c.value.begin(), c.value.end());
  value.push_back('\0');
  const std::vector<char> original = value;
  const char* cursor = value.data();
  for (const Item& want : c.items) {
    upd::NameString item;
    std::memset(item.data(), 'z', item.capacity());
    ASSERT_EQ(upd::NextListItem(item, cursor, disc), upd::ListStep::kItem) << "expected item " << want.text;
    EXPECT_EQ(std::string(item.data()), want.text);
    EXPECT_EQ(disc, want.disc) << want.text;
  }
  upd::NameString untouched;
  untouched.assign("keep");
  const std::int32_t disc_after = disc;
  for (int again = 0; again < 3; ++again) {
    EXPECT_EQ(upd::NextListItem(untouched, cursor, disc), c.ends_with);
    EXPECT_EQ(static_cast<std::size_t>(cursor - value.data()), c.cursor_at);
  }
  EXPECT_EQ(untouched.view(), "keep");
  EXPECT_EQ(disc, disc_after);
  EXPECT_EQ(value, original) << "the value itself must stay unchanged";
}

TEST(NextListItem, Lists) {
  const std::string long259(259, 'L');
  const ListCase cases[] = {
      {"BlanksBeforeStayAfter", "  A B ,C", 0, {{"A B ", 0}, {"C", 0}}, 8},
      {"DiscPrefixes", "2:X.DAT,Y.DAT,1:Z.DAT", 0, {{"X.DAT", 2}, {"Y.DAT", 2}, {"Z.DAT", 1}}, 21},
      {"DriveLetterReadsAsPrefix", "C:\\GAME\\A.EXE", 5, {{"\\GAME\\A.EXE", 0}}, 13},
      {"NoPrefixKeepsDisc", "A,B", 7, {{"A", 7}, {"B", 7}}, 3},
      {"LeadingCommaEndsAtOnce", ",A", 0, {}, 0},
      {"EmptyItemEndsTheList", "A,,B", 0, {{"A", 0}}, 2},
      {"BlanksThenCommaEnd", "A,  ,B", 0, {{"A", 0}}, 4},
      {"SingleItem", "A", 0, {{"A", 0}}, 1},
      {"EmptyValue", "", 0, {}, 0},
      {"OnlyBlanks", " \t ", 0, {}, 3},
      {"PrefixAtTheEnd", "3:", 0, {{"", 3}}, 2},
      {"PrefixThenComma", "3:,A", 0, {{"", 3}, {"A", 3}}, 4},
      {"NoBlanksSkippedAfterPrefix", "4: A", 0, {{" A", 4}}, 4},
      {"CrLfEndsTheList", "A\r\nB", 0, {{"A", 0}}, 2},
      {"LfEndsAnItem", "A\nB", 0, {{"A", 0}, {"B", 0}}, 3},
      {"TabsAreBlanks", "\tA\t,\tB", 0, {{"A\t", 0}, {"B", 0}}, 6},
      {"SecondByteIsNoItemEnd", "\x95\x5c,\x83]", 0, {{"\x95\x5c", 0}, {"\x83]", 0}}, 5},
      {"LongestItem", long259 + ",B", 0, {{long259, 0}, {"B", 0}}, 261},
      {"LongestItemAfterPrefix", "1:" + long259, 0, {{long259, 1}}, 261},
      // An item longer than a slot is refused, told apart from the end of the list; the cursor
      // stays on it, so the list cannot be read on past it.
      {"TooLongItemRefused", "A," + long259 + "L,B", 0, {{"A", 0}}, 2, upd::ListStep::kTooLong},
      {"TooLongFirstItemAfterBlanks", "  2:" + long259 + "L", 0, {}, 2, upd::ListStep::kTooLong},
      {"TooLongLastItem", "A,B," + long259 + "L", 0, {{"A", 0}, {"B", 0}}, 4, upd::ListStep::kTooLong},
  };
  for (const auto& c : cases) CheckList(c);
}

struct JoinCase {
  const char* name;
  std::string path;
  std::string component;
  std::string joined;  // empty string with ok false: refused
  bool ok = true;
};

TEST(JoinPath, Joins) {
  const std::string p256(256, 'p');
  const JoinCase cases[] = {
      {"EmptyPath", "", "X", "X"},
      {"RootWithBackslash", "C:\\", "X", "C:\\X"},
      {"SlashKept", "D:/GAME/", "X", "D:/GAME/X"},
      {"EmptyComponentAddsSeparator", "C:\\GAME", "", "C:\\GAME\\"},
      {"PlainFolder", "C:\\GAME", "DATA\\A.DAT", "C:\\GAME\\DATA\\A.DAT"},
      {"ComponentSeparatorKept", "C:\\GAME\\", "\\X", "C:\\GAME\\\\X"},
      {"BothEmpty", "", "", ""},
      // 表 (0x95 0x5C) at the end is a character, not a separator.
      {"SecondByteBackslashIsNoSeparator", "C:\\\x95\x5c", "X", "C:\\\x95\x5c\\X"},
      {"RealSeparatorAfterDoubleByte", "C:\\\x95\x5c\\", "X", "C:\\\x95\x5c\\X"},
      {"ComponentEndsAtNul", "C:", std::string("AB\0CD", 5), "C:\\AB"},
      // 256 + '\' + 1 + two NULs = 260: fits; one more byte does not.
      {"FitsExactly", p256, "X", p256 + "\\X"},
      {"OneByteTooLong", p256, "XY", "", false},
      {"FitsExactlyWithoutSeparator", p256 + "\\", "X", p256 + "\\X"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    upd::NameString path;
    std::memset(path.data(), 'z', path.capacity());
    std::memcpy(path.data(), c.path.c_str(), c.path.size() + 1);
    const upd::NameString before = path;
    EXPECT_EQ(upd::JoinPath(path, c.component), c.ok);
    if (!c.ok) {
      EXPECT_EQ(path.bytes, before.bytes) << "a refused join leaves the buffer as it was";
      continue;
    }
    EXPECT_EQ(std::string(path.data()), c.joined);
    ASSERT_LT(c.joined.size() + 1, path.capacity());
    EXPECT_EQ(path.bytes[c.joined.size()], '\0');
    EXPECT_EQ(path.bytes[c.joined.size() + 1], '\0') << "the second NUL of the one-element list";
  }
}

TEST(JoinPath, SmallBufferAndUnterminatedPath) {
  char small[6] = "ab";
  EXPECT_TRUE(upd::JoinPath(small, "c"));  // "ab\c" + two NULs = 6
  EXPECT_EQ(std::string(small, 6), std::string("ab\\c\0\0", 6));
  EXPECT_FALSE(upd::JoinPath(small, ""));  // "ab\c\" + two NULs = 7
  char full[4] = {'a', 'b', 'c', 'd'};
  EXPECT_FALSE(upd::JoinPath(full, "x"));
  EXPECT_EQ(std::string(full, 4), "abcd");
}

}  // namespace
