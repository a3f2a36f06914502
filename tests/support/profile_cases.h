// Profile files and what GetPrivateProfileStringA gives for them on a Japanese system (code
// page 932). The native tests hold our reader to these rows; the Windows tests hold both our
// reader and the system's function to them under Wine.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace updtest {

struct ProfileCase {
  const char* name;
  std::string ini;  // file content; empty together with no_file for a missing file
  const char* section;
  const char* key;
  std::size_t capacity;
  std::size_t count;     // the result
  std::string value;     // the bytes before the NUL
  bool no_file = false;  // the file does not exist
  // Set where Wine's function differs from Windows and ours follows Windows: the reason.
  const char* wine_differs = nullptr;
};

inline const ProfileCase kProfileCases[] = {
    // Names in other letter case.
    {"SectionAndKeyInOtherCase", "[setup]\r\ncompanyname=Abc\r\n", "SETUP", "CompanyName", 20, 3, "Abc"},
    {"AskedInLowerCase", "[SeTuP]\r\nGAMETITLE=x\r\n", "setup", "gametitle", 20, 1, "x"},
    // The second byte of a double-byte character is not a letter to fold: 0x83 0x41 (ア) and
    // 0x83 0x61 (ッ) are different characters.
    {"SecondByteNotFolded", "[SETUP]\r\n\x83\x41=v\r\n", "SETUP", "\x83\x61", 20, 0, ""},

    // Blanks around names and values.
    {"BlanksAroundKeyAndValue", "[SETUP]\r\n \t Key \t = \t v a \t \r\nx=1\r\n", "SETUP", "Key", 20, 3, "v a"},
    {"BlanksAroundHeader", "  [ SETUP ]  \r\nKey=v\r\n", "SETUP", "Key", 20, 1, "v"},
    {"VerticalTabIsBlank", "[SETUP]\r\nKey=\v x \v\r\n", "SETUP", "Key", 20, 1, "x"},
    {"SpacesAroundAskedNames", "[SETUP]\r\nKey=v\r\n", " SETUP ", " Key ", 20, 1, "v"},
    // A full-width space (0x81 0x40) is a character, not a blank.
    {"FullWidthSpaceKept", "[SETUP]\r\nKey=\x81\x40x\x81\x40\r\n", "SETUP", "Key", 20, 5, "\x81\x40x\x81\x40"},
    {"EmptyValue", "[SETUP]\r\nKey=\r\n", "SETUP", "Key", 20, 0, ""},
    {"BlanksOnlyValue", "[SETUP]\r\nKey=  \t \r\n", "SETUP", "Key", 20, 0, ""},

    // Quotes.
    {"DoubleQuotes", "[SETUP]\r\nKey= \" a \" \r\n", "SETUP", "Key", 20, 3, " a "},
    {"SingleQuotes", "[SETUP]\r\nKey= ' a ' \r\n", "SETUP", "Key", 20, 3, " a "},
    {"OnlyOuterQuotes", "[SETUP]\r\nKey=\"'a'\"\r\n", "SETUP", "Key", 20, 3, "'a'"},
    {"UnmatchedQuotesKept", "[SETUP]\r\nKey=\"a'\r\n", "SETUP", "Key", 20, 3, "\"a'"},
    {"LoneQuoteKept", "[SETUP]\r\nKey=\"\r\n", "SETUP", "Key", 20, 1, "\""},
    {"EmptyQuotes", "[SETUP]\r\nKey=\"\"\r\n", "SETUP", "Key", 20, 0, ""},
    {"QuotedValueCut", "[SETUP]\r\nKey=\"abcdef\"\r\n", "SETUP", "Key", 4, 3, "abc"},
    {"QuotedValueFitsExactly", "[SETUP]\r\nKey=\"abcd\"\r\n", "SETUP", "Key", 5, 4, "abcd", false,
     "Wine cuts the closing quote before taking the quotes off and then drops one character "
     "more; Windows documents that the quotes are discarded and that a value is cut only when "
     "the buffer is too small, and \"abcd\" fits 5 bytes"},

    // Comments and semicolons.
    {"CommentLine", "[SETUP]\r\n;Key=c\r\nKey=v\r\n", "SETUP", "Key", 20, 1, "v"},
    {"IndentedCommentLine", "[SETUP]\r\n \t;Key=c\r\nKey=v\r\n", "SETUP", "Key", 20, 1, "v"},
    {"SemicolonInValue", "[SETUP]\r\nKey=a ;b\r\n", "SETUP", "Key", 20, 4, "a ;b"},
    {"EqualsInValue", "[SETUP]\r\nKey=a=b\r\n", "SETUP", "Key", 20, 3, "a=b"},

    // Repeated sections and keys: the first wins, and only the first section of a name counts.
    {"KeyTwice", "[SETUP]\r\nKey=1\r\nKey=2\r\n", "SETUP", "Key", 20, 1, "1"},
    {"SectionTwiceKeyInBoth", "[SETUP]\r\nKey=1\r\n[X]\r\n[SETUP]\r\nKey=2\r\n", "SETUP", "Key", 20, 1, "1"},
    {"SectionTwiceKeyInSecond", "[SETUP]\r\nA=1\r\n[X]\r\nKey=3\r\n[setup]\r\nKey=2\r\n", "SETUP", "Key", 20, 0, ""},
    {"KeyInOtherSection", "[X]\r\nKey=1\r\n[SETUP]\r\nA=1\r\n", "SETUP", "Key", 20, 0, ""},

    // Lines without '='.
    {"KeyLineWithoutEquals", "[SETUP]\r\nKey\r\n", "SETUP", "Key", 20, 0, ""},
    // ... and being the first line of its key, it hides a later one.
    {"KeyLineWithoutEqualsThenKey", "[SETUP]\r\nKey\r\nKey=v\r\n", "SETUP", "Key", 20, 0, ""},
    {"OtherKeyWithoutEquals", "[SETUP]\r\nFlag\r\nKey=v\r\n", "SETUP", "Key", 20, 1, "v"},

    // Line ends.
    {"CrLf", "[SETUP]\r\nA=1\r\nKey=v\r\nB=2\r\n", "SETUP", "Key", 20, 1, "v"},
    {"Lf", "[SETUP]\nA=1\nKey=v\nB=2\n", "SETUP", "Key", 20, 1, "v"},
    {"CrOnly", "[SETUP]\rA=1\rKey=v\rB=2\r", "SETUP", "Key", 20, 1, "v"},
    {"LastLineWithoutEnd", "[SETUP]\r\nA=1\r\nKey=value", "SETUP", "Key", 20, 5, "value"},
    {"TextAfterHeaderIgnored", "[SETUP]Key=v\r\nKey=w\r\n", "SETUP", "Key", 20, 1, "w"},

    // Capacity.
    {"ValueFitsExactly", "[SETUP]\r\nKey=abcdefg\r\n", "SETUP", "Key", 8, 7, "abcdefg"},
    {"ValueLongerThanCapacity", "[SETUP]\r\nKey=0123456789abcdef\r\n", "SETUP", "Key", 8, 7, "0123456"},
    {"CapacityOne", "[SETUP]\r\nKey=abc\r\n", "SETUP", "Key", 1, 0, ""},
    // A cut inside a double-byte character keeps the whole characters before it; the result
    // still says capacity - 1.
    {"CutInsideDoubleByte", "[SETUP]\r\nKey=a\x95\x5c\x95\x5c\r\n", "SETUP", "Key", 5, 4, "a\x95\x5c"},

    // Double-byte characters whose second byte is '\' (0x5C, 表) or ']' (0x5D, ゾ).
    {"SecondByteBackslashInValue", "[SETUP]\r\nKey=C:\\\x95\x5c\x8e\xa6\\\x95\x5c\r\n", "SETUP", "Key", 20, 10,
     "C:\\\x95\x5c\x8e\xa6\\\x95\x5c"},
    {"SecondByteBackslashInKey", "[SETUP]\r\n\x95\x5c=v\r\n", "SETUP", "\x95\x5c", 20, 1, "v"},
    {"SecondByteBracketInHeader", "[\x83]]\r\nKey=v\r\n", "\x83]", "Key", 20, 1, "v"},
    // A NUL byte ends the value, as the value is a C string.
    {"NulInValue", std::string("[SETUP]\r\nKey=a\0b\r\n", 17), "SETUP", "Key", 20, 1, "a"},

    // Sections without a name, and text outside sections.
    {"EmptySectionName", "[]\r\nKey=v\r\n", "", "Key", 20, 1, "v", false,
     "Wine files lines before the first header under a nameless section that shadows '[]'; "
     "Windows reads the keys of '[]' under the name \"\""},
    {"KeyBeforeFirstSection", "Key=v\r\n[SETUP]\r\nA=1\r\n", "", "Key", 20, 0, "", false,
     "Wine answers \"\" with the lines before the first header; Windows reads keys only "
     "inside a section ('[section]' then 'key=string'), and ignores those lines"},
    {"HeaderWithoutClosingBracket", "[SETUP\r\nKey=v\r\n", "SETUP", "Key", 20, 1, "v", false,
     "Wine drops a header without ']'; Windows ends the name at the line end"},

    // No file at all.
    {"MissingFile", "", "SETUP", "Key", 20, 0, "", true},
};

}  // namespace updtest
