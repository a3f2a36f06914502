// `updpack embed PACKAGE -o OUT.exe [--stub STUB.exe]`: writes a copy of the updater stub that
// carries PACKAGE as its package resource. The default stub is update.exe beside updpack.
#pragma once

#include <filesystem>
#include <string_view>

#include "commands.h"

namespace updpack {

extern const std::string_view kEmbedHelp;

int RunEmbed(CommandArgs args, std::ostream& out, std::ostream& err);

// update.exe in the folder of the running updpack executable.
std::filesystem::path DefaultStubPath();

}  // namespace updpack
