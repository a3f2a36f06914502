// How a file name given in Unicode (UTF-8) becomes an entry name in code page 932, said out loud
// where the result is not the same text: code page 932 has one code for some pairs of
// characters, and Windows shows that code as one of them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace updpack {

struct NameSpelling {
  std::string utf8;                    // the name to convert, in the form Windows shows
  std::vector<std::string> notes;      // what changed on the way, for the user
  std::optional<std::string> refusal;  // why the name cannot be stored at all
};

// Composes kana written in decomposed form (カ and U+3099, as macOS writes names) and folds the
// characters that share a code with another (〜 is stored as ～, ‖ as ∥, − as －, ¢ as ￠, £ as
// ￡, ¬ as ￢, — as ―) into the one Windows shows for it, with a note for each. Refuses ‾ and ¥,
// which code page 932 would store as the plainer ~ and \ (the path separator).
// Text that is not UTF-8 is passed through; the conversion refuses it.
NameSpelling SpellForCodePage932(std::string_view utf8);

}  // namespace updpack
