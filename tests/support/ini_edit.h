// Edits of a profile-file fixture for table tests: a key set to a value (in its line, where it
// stays in its section; a new key goes to the end of the file, that is its last section), or
// removed.
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
    if (at == std::string::npos) {
      if (e.value) ini += e.key + "=" + *e.value + "\r\n";
      continue;
    }
    const std::size_t end = ini.find("\r\n", at + head.size());
    if (e.value) {
      ini.replace(at + head.size(), end - at - head.size(), *e.value);
    } else {
      ini.erase(at, end - at);
    }
  }
  return ini;
}

inline Edit Set(std::string key, std::string value) { return {std::move(key), std::move(value)}; }
inline Edit Remove(std::string key) { return {std::move(key), std::nullopt}; }

}  // namespace updtest
