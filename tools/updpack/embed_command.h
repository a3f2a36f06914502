// `updpack embed PACKAGE -o OUT.exe [--stub STUB.exe]`: writes a copy of the updater stub that
// carries PACKAGE as its package resource. The default stub is update.exe beside updpack.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <span>
#include <string>

namespace updpack {

inline constexpr char kEmbedUsage[] = "updpack embed PACKAGE -o OUT.exe [--stub STUB.exe]";

// Runs the command on its arguments (those after "embed"); messages go to `out` and `err`.
// Returns the exit code: 0 done, 1 failed (OUT is then left as it was), 2 usage error.
int RunEmbedCommand(std::span<const std::string> args, std::ostream& out, std::ostream& err);

// update.exe in the folder of the running updpack executable.
std::filesystem::path DefaultStubPath();

}  // namespace updpack
