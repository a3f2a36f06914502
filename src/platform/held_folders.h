// The folders an update run writes through, checked and held open until the run ends.
//
// The game folder is often writable by every user of the machine while the updater runs as
// administrator. A folder below the installation (or data) folder that is a link (junction,
// symbolic link, mount point), or that is swapped for one while the wizard waits, would send
// the run's writes elsewhere. So each folder is opened once, checked (no reparse point, and the
// system resolves it to exactly the place its path names below its parent) and held without
// delete sharing: nobody can rename or remove it, and a path through held folders keeps
// naming the same folders until the run lets them go.
//
// Sharing does not stop a folder from being made a mount point, which needs only an empty folder
// and write access to it. So each held folder also holds a pin: a hidden file of the run's own,
// open without sharing and deleted with its handle. A folder that holds a file cannot take a
// mount point, and nobody else can remove the pin.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"

namespace upd::platform {

enum class FolderCheck {
  kHeld,     // every folder of the path is held
  kMissing,  // a folder of the path is not there (or is a file): the walk stops there
  kRefused,  // a folder of the path is a link, resolves elsewhere, or cannot be opened
};

class FolderGuard {
 public:
  // Holds `base` as it resolves now: the installation and data folders may themselves be
  // links (games are moved). When `base` is a link, the link is held too, so that it cannot be
  // re-pointed. The folder's resolved path is what the run then writes through (Resolved()).
  FolderCheck HoldBase(const std::filesystem::path& base);

  // The resolved path of a base held before; nothing for a base that is not held.
  std::optional<std::filesystem::path> Resolved(const std::filesystem::path& base) const;

  // Holds each folder from the held `base` down through `folders` (components, already free of
  // "." and ".."), in turn; stops at the first that is missing or refused.
  FolderCheck HoldBelow(const std::filesystem::path& base, const std::vector<std::wstring>& folders);

  // Where the folder `folders` below the held `base` resolves, when it is held; nothing else.
  std::optional<std::wstring> FinalOf(const std::filesystem::path& base,
                                      const std::vector<std::wstring>& folders) const;

  // Lets every folder go.
  void Release();

 private:
  struct Held {
    std::wstring key;    // the folder's path as the run spells it
    std::wstring final;  // where the system resolves it
    UniqueFile handle;
    UniqueFile pin;
  };
  const Held* Find(std::wstring_view key) const;
  // Puts the pin into `held`; false when it lands anywhere but in the folder held.
  static bool Pin(Held& held);

  std::vector<Held> held_;
  std::vector<UniqueFile> links_;
};

// The folders this process's run holds: its base folders from the launch checks on, and every
// folder its update writes through, until the run ends.
FolderGuard& RunFolders();

}  // namespace upd::platform
