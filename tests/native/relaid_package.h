// Packages laid out again from a built one, for tests of the readers: the same entries in
// another directory order, among them the layout that earlier versions of build wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "encoder.h"
#include "package/container.h"
#include "package_reader.h"

namespace updtest {

using Bytes = std::vector<std::uint8_t>;

// The package with its entries (records and data alike) in the directory order `order`, given
// as indices of the entries as they stand; the directory compressed again as the writer
// compresses it, or stored when it was. The integrity record covers the files alone, so it moves
// as it is.
inline Bytes Relaid(const Bytes& img, const std::vector<std::size_t>& order) {
  const auto opened = updpack::OpenPackage(img);
  EXPECT_TRUE(opened.view);
  if (!opened.view) return {};
  const updpack::PackageView& v = *opened.view;
  Bytes out(img.begin(), img.begin() + upd::kPackageHeaderSize);
  Bytes table;
  for (std::size_t i : order) {
    const auto stored = std::span(img).subspan(v.offsets[i], v.entries[i].StoredSize);
    out.insert(out.end(), stored.begin(), stored.end());
    out.resize(out.size() + (upd::PaddedSize(v.entries[i].StoredSize) - stored.size()), 0);
    const auto rec = v.table.span().subspan(i * upd::kEntryRecordSize, upd::kEntryRecordSize);
    table.insert(table.end(), rec.begin(), rec.end());
  }
  upd::PackageHeader header = v.header;
  header.DirectoryOffset = static_cast<std::uint32_t>(out.size());
  upd::EncodeHeader(header, std::span(out).first<upd::kPackageHeaderSize>());
  const Bytes dir = (v.header.HeaderFlags & upd::kDirectoryCompressed)
                        ? updpack::Compress(table, updpack::Level::kDefault)
                        : table;
  out.insert(out.end(), dir.begin(), dir.end());
  return out;
}

// The order that moves the integrity record behind every file, where build put it before the
// record took its place in name order: that makes the package as those versions built it.
inline std::vector<std::size_t> RecordLast(const Bytes& img) {
  const auto opened = updpack::OpenPackage(img);
  EXPECT_TRUE(opened.view && opened.view->integrity_record);
  if (!opened.view || !opened.view->integrity_record) return {};
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < opened.view->entries.size(); ++i) {
    if (i != *opened.view->integrity_record) order.push_back(i);
  }
  order.push_back(*opened.view->integrity_record);
  return order;
}

}  // namespace updtest
