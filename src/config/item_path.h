// Whether a path from the update's lists (an UpdateFile item, DataFolder, a CopyFile path)
// stays inside the folder it is relative to and names plain files there. The run checks every
// path before it writes anything, so a path that would fail, or land elsewhere, when its turn
// comes refuses the whole update instead; updpack lint reports the same faults.
//
// The path is code page 932 bytes, read with the core's lead-byte rule: the second byte of a
// double-byte character ('\' 0x5C, '|' 0x7C among them) is never a separator or a special
// character. '\' and '/' both separate components, and "." and ".." are resolved lexically.
#pragma once

#include <cstdint>
#include <string_view>

namespace upd {

enum class ItemPathFault : std::uint8_t {
  kNone,
  kLeavesFolder,       // absolute ('\' or '/' first, UNC), a drive "X:", or ".." above the folder
  kStream,             // ':' in a component: an alternate stream (or a drive after the first)
  kDevice,             // CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, with any extension
  kControlCharacter,   // a byte below 0x20, or 0x7F
  kBadName,            // a name Windows would change or refuse: one ending in '.' or ' ' (other
                       // than "." and ".."), one holding < > " or |, a double-byte character
                       // without its second byte
};

// The first fault of `path`, reading its components from the left (an absolute start first).
// An empty path is kNone (DataFolder may be empty). '*' and '?' are allowed, since CopyFile
// paths may be patterns.
ItemPathFault CheckItemPath(std::string_view path);

// One English line saying why, for updpack ("leaves the folder it is relative to ...").
std::string_view DescribeItemPathFault(ItemPathFault fault);

}  // namespace upd
