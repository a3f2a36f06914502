// ReadSetupDescription over any SETUP.INI, its bytes as the input. Properties: the description is
// read with no fault, or refused with one fault captioned "INSTCMMN" whose text names SETUP.INI;
// no box is ever shown (the reader leaves that to its caller); what was read agrees with the
// profile reader on the same bytes; every list item is whole (no item end inside, NUL-terminated).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/profile.h"
#include "config/setup_description.h"
#include "fuzz_check.h"
#include "no_boxes.h"

namespace {

template <std::size_t N>
void CheckTerminated(const upd::FixedString<N>& s) {
  Check(s.view().size() < N);
}

template <std::size_t N>
void CheckSame(std::string_view ini, std::string_view key, const upd::FixedString<N>& s) {
  upd::FixedString<N> expected;
  upd::ReadProfileString(ini, "SETUP", key, expected.bytes);
  Check(s.view() == expected.view());
}

void CheckItem(const upd::NameString& item) {
  CheckTerminated(item);
  Check(item.view().find_first_of(",\r\n") == std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view ini(reinterpret_cast<const char*>(data), size);
  const upd::SetupDescriptionRead read = upd::ReadSetupDescription(ini);
  if (read.fault) {
    Check(read.fault->caption == "INSTCMMN" && read.fault->text.view().starts_with("SETUP.INI : "));
    return 0;
  }

  const upd::SetupDescription& d = read.setup;
  CheckSame(ini, "CompanyName", read.game.CompanyName);
  CheckSame(ini, "GameTitle", read.game.GameTitle);
  CheckSame(ini, "GameDir", read.game.GameDir);
  CheckSame(ini, "GameExe", d.GameExe);
  CheckSame(ini, "UninstExe", d.UninstExe);
  Check(!read.game.CompanyName.empty() && !d.UninstExe.empty());

  Check(d.SetupBmpLast >= 0 && d.SetupBmpLast < static_cast<std::int32_t>(upd::kSetupBmpSlots));
  for (std::size_t k = 0; k < upd::kSetupBmpSlots; ++k) {
    CheckItem(d.SetupBmp[k]);
    if (static_cast<std::int32_t>(k) > d.SetupBmpLast) Check(d.SetupBmp[k].empty());
  }
  Check(d.InstallSelects <= 4 && d.Shortcuts <= 10);
  for (std::int32_t j = 0; j < d.InstallSelects; ++j) {
    const upd::InstallSet& set = d.InstallSets[static_cast<std::size_t>(j)];
    // (An item may be empty: "1:" names a disc and no file.)
    bool needs_cd = false;
    for (std::size_t k = 0; k < upd::kInstallFileSlots; ++k) {
      CheckItem(set.InstallFiles[k]);
      Check(set.InstallDiscs[k] >= 0 && set.InstallDiscs[k] <= 9);
      needs_cd = needs_cd || set.InstallDiscs[k] != 0;
    }
    Check(set.NeedsCD == (needs_cd ? 1 : 0));
  }
  for (std::int32_t a = 0; a < d.Shortcuts; ++a) {
    const upd::ShortcutEntry& e = d.ShortcutEntries[static_cast<std::size_t>(a)];
    for (const auto& field : e.Fields) CheckItem(field);
  }
  for (const auto& f : d.DiskCheckFile) CheckTerminated(f);
  for (const auto& f : d.ExecApp) CheckItem(f);
  CheckTerminated(d.SelectSetupMessage);
  CheckTerminated(d.UninstTitle);
  CheckTerminated(read.game.GameClass);
  return 0;
}
