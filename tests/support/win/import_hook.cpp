#include "win/import_hook.h"

#include <cstdint>
#include <cstring>

namespace updtest::win {
namespace {

void** FindImportSlot(const char* dll, const char* function) {
  auto* base = reinterpret_cast<std::uint8_t*>(::GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return nullptr;
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       d->Name != 0; ++d) {
    if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
    if (d->OriginalFirstThunk == 0) continue;  // names are only in the lookup table
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* by_name =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) == 0) {
        return reinterpret_cast<void**>(&slots->u1.Function);
      }
    }
  }
  return nullptr;
}

void Store(void** slot, void* value) {
  DWORD old = 0;
  ::VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
  *slot = value;
  ::VirtualProtect(slot, sizeof(void*), old, &old);
}

}  // namespace

ImportHook::ImportHook(const char* dll, const char* function, void* replacement)
    : slot_(FindImportSlot(dll, function)) {
  if (!slot_) return;
  original_ = *slot_;
  Store(slot_, replacement);
}

ImportHook::~ImportHook() {
  if (slot_) Store(slot_, original_);
}

}  // namespace updtest::win
