// The notice's line breaks: only a one-byte backslash before the letter n is one.
#include <gtest/gtest.h>

#include <string>

#include "config/text_format.h"

namespace {

struct NoticeCase {
  const char* name;
  std::string notice;
  std::string shown;
};

TEST(NoticeLineBreaks, OnlyAOneByteBackslashBeforeNBreaksTheLine) {
  const NoticeCase cases[] = {
      {"two lines", "A\\nB", "A\rB"},
      {"trailing break", "A\\n", "A\r"},
      {"backslash at the very end is copied", "A\\", "A\\"},
      {"backslash before another letter is copied", "A\\tB", "A\\tB"},
      {"two backslashes and n: one backslash, one break", "A\\\\nB", "A\\\rB"},
      {"capital N is no break", "A\\NB", "A\\NB"},
      // 表 is 0x95 0x5C: its second byte is a backslash, and the n after it stays a letter.
      {"0x5C trail byte before n", "\x95\x5Cn", "\x95\x5Cn"},
      {"0x5C trail byte, then a real break", "\x95\x5C\\n\x95\x5C", "\x95\x5C\r\x95\x5C"},
      {"empty", "", ""},
  };
  for (const NoticeCase& c : cases) {
    EXPECT_EQ(std::string(upd::ConvertNoticeLineBreaks(c.notice).view()), c.shown) << c.name;
  }
}

TEST(NoticeLineBreaks, ALongNoticeKeepsItsLastByte) {
  // 1021 letters and "\n": 1023 bytes in, 1022 out; nothing is cut.
  const std::string notice = std::string(1021, 'x') + "\\n";
  const std::string shown(upd::ConvertNoticeLineBreaks(notice).view());
  EXPECT_EQ(shown.size(), 1022u);
  EXPECT_EQ(shown.back(), '\r');
}

}  // namespace
