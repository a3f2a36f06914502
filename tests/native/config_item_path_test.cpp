// Paths from the update's lists: which ones stay inside their folder and name plain files.
// Japanese names use code page 932 bytes whose second byte is '\' (0x5C) or '|' (0x7C):
// 表 95 5C, ソ 83 5C, 十 8F 5C, ポ 83 7C.
#include <gtest/gtest.h>

#include <string>

#include "config/item_path.h"

namespace {

using upd::ItemPathFault;

#define HYO "\x95\x5C"
#define SO "\x83\x5C"
#define JU "\x8F\x5C"
#define PO "\x83\x7C"

struct PathCase {
  const char* name;
  std::string path;
  ItemPathFault expect;
};

const char* FaultName(ItemPathFault f) {
  switch (f) {
    case ItemPathFault::kNone: return "kNone";
    case ItemPathFault::kLeavesFolder: return "kLeavesFolder";
    case ItemPathFault::kStream: return "kStream";
    case ItemPathFault::kDevice: return "kDevice";
    case ItemPathFault::kControlCharacter: return "kControlCharacter";
    case ItemPathFault::kBadName: return "kBadName";
  }
  return "?";
}

TEST(CheckItemPath, Table) {
  const PathCase cases[] = {
      // Inside the folder.
      {"Empty", "", ItemPathFault::kNone},
      {"File", "a.dat", ItemPathFault::kNone},
      {"Nested", "data\\sub\\a.dat", ItemPathFault::kNone},
      {"ForwardSlashes", "data/sub/a.dat", ItemPathFault::kNone},
      {"TrailingSeparator", "movie\\", ItemPathFault::kNone},
      {"DoubleSeparator", "a\\\\b.dat", ItemPathFault::kNone},
      {"DotComponents", ".\\a\\.\\b.dat", ItemPathFault::kNone},
      {"DotDotStaysInside", "a\\..\\b.dat", ItemPathFault::kNone},
      {"DotDotBackToTheFolder", "a\\b\\..\\..\\c.dat", ItemPathFault::kNone},
      {"DotDotToTheFolderItself", "a/..", ItemPathFault::kNone},
      {"Wildcards", "bonus\\*.*", ItemPathFault::kNone},
      {"QuestionMarks", "save\\slot??.sav", ItemPathFault::kNone},
      {"LeadingBlankAndInnerDots", " a..b.dat", ItemPathFault::kNone},
      {"NamesThatOnlyStartLikeDevices", "CONSOLE.txt\\COM10\\LPT\\NULL\\AUXX\\ACON\\COMA\\CON_1.dat",
       ItemPathFault::kNone},
      {"FullWidthDigitIsNoDevice", "COM\x82\x50", ItemPathFault::kNone},
      {"DriveLetterLaterIsNoDrive", "C\\x.dat", ItemPathFault::kNone},
      // Second bytes that look like a separator or '|' stay part of their character.
      {"TrailBackslashBeforeSeparator", HYO "\\a.dat", ItemPathFault::kNone},
      {"TrailBackslashAtTheEnd", "data\\" HYO, ItemPathFault::kNone},
      {"TrailBackslashesInARow", SO JU HYO ".dat", ItemPathFault::kNone},
      {"TrailBar", PO "\\" PO ".dat", ItemPathFault::kNone},
      {"TrailBackslashThenDotDotInside", "a\\" HYO "\\..\\..\\b.dat", ItemPathFault::kNone},
      {"TrailBackslashThenDots", HYO ".\\a.dat", ItemPathFault::kBadName},

      // Leaving the folder.
      {"DotDot", "..", ItemPathFault::kLeavesFolder},
      {"DotDotFirst", "..\\outside.txt", ItemPathFault::kLeavesFolder},
      {"TwoDotDots", "..\\..\\outside.txt", ItemPathFault::kLeavesFolder},
      {"DotDotAfterAFolder", "a\\..\\..\\x.dat", ItemPathFault::kLeavesFolder},
      {"DotDotWithSlashes", "a/../../x.dat", ItemPathFault::kLeavesFolder},
      {"DotDotAfterDot", ".\\..\\x.dat", ItemPathFault::kLeavesFolder},
      // Above the folder for a moment, even though the path ends inside it again.
      {"ClimbsOutAndBack", "..\\Game\\a.dat", ItemPathFault::kLeavesFolder},
      {"ClimbsOutAndBackLater", "a\\..\\..\\Game\\a.dat", ItemPathFault::kLeavesFolder},
      {"DotDotAfterTrailBackslash", HYO "\\..\\..\\x.dat", ItemPathFault::kLeavesFolder},
      {"LeadingBackslash", "\\Windows\\x.dll", ItemPathFault::kLeavesFolder},
      {"LeadingSlash", "/Windows/x.dll", ItemPathFault::kLeavesFolder},
      {"Unc", "\\\\server\\share\\x.dat", ItemPathFault::kLeavesFolder},
      {"DevicePathPrefix", "\\\\?\\C:\\x.dat", ItemPathFault::kLeavesFolder},
      {"Drive", "C:\\x.dat", ItemPathFault::kLeavesFolder},
      {"DriveRelative", "c:x.dat", ItemPathFault::kLeavesFolder},
      {"DriveAlone", "Z:", ItemPathFault::kLeavesFolder},

      // Streams.
      {"Stream", "a.dat:x", ItemPathFault::kStream},
      {"DataStream", "a.dat::$DATA", ItemPathFault::kStream},
      {"StreamOfAFolder", "sub:x\\a.dat", ItemPathFault::kStream},
      {"DigitIsNoDrive", "1:a.dat", ItemPathFault::kStream},
      {"StreamAfterTrailBackslash", HYO ":x", ItemPathFault::kStream},

      // Devices, in any case, with any extension, as a folder too.
      {"Con", "CON", ItemPathFault::kDevice},
      {"ConLowerCase", "con", ItemPathFault::kDevice},
      {"NulWithExtension", "NUL.txt", ItemPathFault::kDevice},
      {"PrnTwoExtensions", "sub\\PRN.tar.gz", ItemPathFault::kDevice},
      {"AuxAsAFolder", "Aux\\a.dat", ItemPathFault::kDevice},
      {"Com1", "COM1", ItemPathFault::kDevice},
      {"Com9", "data\\com9.log", ItemPathFault::kDevice},
      {"Com0", "COM0.dat", ItemPathFault::kDevice},
      {"Lpt1", "LPT1", ItemPathFault::kDevice},
      {"Lpt9MixedCase", "lPt9.txt", ItemPathFault::kDevice},
      {"ConIn", "CONIN$", ItemPathFault::kDevice},
      {"ConOutExtension", "conout$.txt", ItemPathFault::kDevice},
      {"BlankBeforeExtension", "CON .txt", ItemPathFault::kDevice},
      {"BlanksBeforeExtension", "Nul   .log", ItemPathFault::kDevice},
      {"DotsBeforeExtension", "COM1..txt", ItemPathFault::kDevice},
      {"TrailingDot", "CON.", ItemPathFault::kDevice},
      {"TrailingBlank", "NUL ", ItemPathFault::kDevice},
      {"DeviceAfterDotDotInside", "a\\..\\LPT1.dat", ItemPathFault::kDevice},

      // Control characters.
      {"Tab", "a\tb.dat", ItemPathFault::kControlCharacter},
      {"NewlineInAFolder", "sub\n\\a.dat", ItemPathFault::kControlCharacter},
      {"Nul", std::string("a\0b.dat", 7), ItemPathFault::kControlCharacter},
      {"Byte1F", "a\x1F.dat", ItemPathFault::kControlCharacter},
      {"Delete", "a\x7F.dat", ItemPathFault::kControlCharacter},

      // Names Windows would change or refuse.
      {"EndsInDot", "a.", ItemPathFault::kBadName},
      {"EndsInBlank", "a.dat ", ItemPathFault::kBadName},
      {"FolderEndsInDot", "sub.\\a.dat", ItemPathFault::kBadName},
      {"FolderEndsInBlank", "sub \\a.dat", ItemPathFault::kBadName},
      {"ThreeDots", "...\\a.dat", ItemPathFault::kBadName},
      {"DotBlank", ". \\a.dat", ItemPathFault::kBadName},
      {"DotDotBlank", ".. \\a.dat", ItemPathFault::kBadName},
      {"LessThan", "a<b.dat", ItemPathFault::kBadName},
      {"GreaterThan", "a>b.dat", ItemPathFault::kBadName},
      {"Quote", "a\"b.dat", ItemPathFault::kBadName},
      {"Bar", "a|b.dat", ItemPathFault::kBadName},
      {"LeadByteAtTheEnd", "a\x95", ItemPathFault::kBadName},
      {"LeadByteBeforeSlash", "a\x95/b.dat", ItemPathFault::kBadName},
      {"LeadByteBeforeBackslashIsOneCharacter", "a\x95\\b.dat", ItemPathFault::kNone},
      {"LeadByteBeforeControl", "a\x95\x01", ItemPathFault::kBadName},

      // The first fault from the left.
      {"LeavesBeforeDevice", "..\\CON", ItemPathFault::kLeavesFolder},
      {"DeviceBeforeLeaving", "CON\\..\\..\\x", ItemPathFault::kDevice},
      {"StreamBeforeControl", "x.dat:b\\c\x01", ItemPathFault::kStream},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(FaultName(upd::CheckItemPath(c.path)), std::string(FaultName(c.expect))) << c.name;
  }
}

}  // namespace
