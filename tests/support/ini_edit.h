// Edits of a profile-file fixture for table tests: a key set to a value (replacing its line,
// or added at the end of the file, that is of its last section), or removed.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace updtest {

struct Edit {
  std::string key;
  std::optional<std::string> value;  // absent: the key's line is removed
};

inline std::string Apply(std::string ini, const std::vector<Edit>& edits) {
  for (const Edit& e : edits) {
    const std::string head = "\r\n" + e.key + "=";
    const std::size_t at = ini.find(head);
    if (at != std::string::npos) {
      const std::size_t end = ini.find("\r\n", at + head.size());
      ini.erase(at, end - at);
    }
    if (e.value) ini += e.key + "=" + *e.value + "\r\n";
  }
  return ini;
}

inline Edit Set(std::string key, std::string value) { return {std::move(key), std::move(value)}; }
inline Edit Remove(std::string key) { return {std::move(key), std::nullopt}; }

}  // namespace updtest
