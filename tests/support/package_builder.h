// Builds package images as the format draws them (header, padded data, directory), for tests of
// everything that reads packages.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "package/container.h"
#include "token_script.h"

namespace updtest {

using Bytes = std::vector<std::uint8_t>;

struct Item {
  std::string name;  // code page 932 bytes
  std::uint32_t flags = upd::kEntryStored;
  std::uint32_t unpacked = 0;
  Bytes stored;
  std::uint64_t time = 0x01D0000012345678ull;
};

inline Bytes Records(const std::vector<Item>& items) {
  Bytes table(items.size() * upd::kEntryRecordSize);
  for (std::size_t i = 0; i < items.size(); ++i) {
    upd::PackageEntry e;
    std::memcpy(e.EntryName.data(), items[i].name.data(), items[i].name.size());
    e.EntryFlags = items[i].flags;
    e.TimeStamp = items[i].time;
    e.UnpackedSize = items[i].unpacked;
    e.StoredSize = static_cast<std::uint32_t>(items[i].stored.size());
    upd::EncodeEntryRecord(
        e, std::span<std::uint8_t, upd::kEntryRecordSize>(&table[i * upd::kEntryRecordSize],
                                                          upd::kEntryRecordSize));
  }
  return table;
}

// A stream of literals only: decodes to `data`.
inline Bytes LiteralStream(const Bytes& data) {
  TokenScript s;
  s.Literals(data);
  return std::move(s).Finish();
}

// Lays out a package: header, each entry's stored bytes padded to 16, then the directory (plain
// records or one literal stream), then `after_dir`.
inline Bytes Image(const std::vector<Item>& items, bool compress_dir, const Bytes& after_dir = {}) {
  Bytes img(16);
  for (const Item& it : items) {
    img.insert(img.end(), it.stored.begin(), it.stored.end());
    img.resize((img.size() + 15) & ~std::size_t{15});
  }
  const upd::PackageHeader h{upd::kPackageMagic, compress_dir ? upd::kDirectoryCompressed : 0u,
                             static_cast<std::uint32_t>(img.size()),
                             static_cast<std::uint32_t>(items.size())};
  upd::EncodeHeader(h, std::span<std::uint8_t, 16>(img.data(), 16));
  const Bytes table = Records(items);
  const Bytes dir = compress_dir ? LiteralStream(table) : table;
  img.insert(img.end(), dir.begin(), dir.end());
  img.insert(img.end(), after_dir.begin(), after_dir.end());
  return img;
}

// An entry stored as it is, of `n` filler bytes.
inline Item Stored(std::string name, std::size_t n, std::uint32_t seed = 1) {
  Bytes data = History(n, seed);
  return {std::move(name), upd::kEntryStored, static_cast<std::uint32_t>(n), data};
}

// An entry stored as it is, with the given content.
inline Item StoredBytes(std::string name, Bytes data, std::uint64_t time) {
  const auto n = static_cast<std::uint32_t>(data.size());
  return {std::move(name), upd::kEntryStored, n, std::move(data), time};
}

// A package of one file stored as it is, with the time stamp 0: the smallest sound package.
inline Bytes OneFilePackage(std::string name, std::string_view content) {
  return Image({StoredBytes(std::move(name), Bytes(content.begin(), content.end()), 0)}, false);
}

// A compressed entry whose stream decodes to `data` (and claims `data.size()` bytes).
inline Item Compressed(std::string name, const Bytes& data, std::uint64_t time) {
  return {std::move(name), upd::kEntryCompressed, static_cast<std::uint32_t>(data.size()),
          LiteralStream(data), time};
}

}  // namespace updtest
