#include "pe_resources.h"

#include <algorithm>
#include <deque>
#include <unordered_map>

namespace updpack::pe {
namespace {

constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::uint32_t kTableHeaderSize = 16;
constexpr std::uint32_t kEntrySize = 8;
constexpr std::uint32_t kDataEntrySize = 16;
constexpr int kMaxLevels = 3;  // type, name, language

std::uint64_t AlignUp(std::uint64_t v, std::uint64_t a) { return (v + a - 1) & ~(a - 1); }

class TreeReader {
 public:
  TreeReader(const Image& image, std::span<const std::uint8_t> view, LeafBytes leaves)
      : image_(image), view_(view), leaves_(leaves) {}

  ResourceTable ReadTable(std::uint32_t offset, int level, const std::string& path) {
    const std::string where = path.empty() ? "the resource root" : "resource " + path;
    if (std::uint64_t{offset} + kTableHeaderSize > view_.size()) {
      Fail(where + ": its table lies outside the resource section");
    }
    ResourceTable t;
    t.characteristics = Get32(view_, offset);
    t.time_date_stamp = Get32(view_, offset + 4);
    t.major_version = Get16(view_, offset + 8);
    t.minor_version = Get16(view_, offset + 10);
    const std::uint32_t named = Get16(view_, offset + 12);
    const std::uint32_t count = named + Get16(view_, offset + 14);
    const std::uint64_t end = std::uint64_t{offset} + kTableHeaderSize + count * kEntrySize;
    if (end > view_.size()) Fail(where + ": its entries run past the resource section");
    // A tree whose tables and data entries do not share bytes fits in the section; anything
    // more is a loop or overlapping tables, and would make the walk unbounded.
    Consume(kTableHeaderSize + count * kEntrySize);

    t.entries.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t at = offset + kTableHeaderSize + std::size_t{i} * kEntrySize;
      const std::uint32_t name_field = Get32(view_, at);
      const std::uint32_t target = Get32(view_, at + 4);
      ResourceEntry e;
      if (((name_field & kHighBit) != 0) != (i < named)) {
        Fail(where + ": its entry " + std::to_string(i + 1) +
             " disagrees with the table's count of named entries");
      }
      e.id = (name_field & kHighBit) ? ReadName(name_field & ~kHighBit, where)
                                     : ResourceId::Number(name_field);
      const std::string child = path.empty() ? e.id.ToString() : path + "/" + e.id.ToString();
      if (target & kHighBit) {
        if (level + 1 >= kMaxLevels) {
          Fail("resource " + child + ": the tree is deeper than type/name/language");
        }
        e.table = std::make_unique<ResourceTable>(ReadTable(target & ~kHighBit, level + 1, child));
      } else {
        ReadLeaf(target, child, e);
      }
      t.entries.push_back(std::move(e));
    }
    return t;
  }

 private:
  [[noreturn]] static void Fail(const std::string& what) {
    throw PeError("damaged Windows executable: " + what);
  }

  void Consume(std::uint64_t n) {
    used_ += n;
    if (used_ > view_.size()) Fail("the resource tree loops or its tables overlap");
  }

  ResourceId ReadName(std::uint32_t offset, const std::string& where) {
    if (std::uint64_t{offset} + 2 > view_.size()) Fail(where + ": a name lies outside the section");
    const std::uint32_t length = Get16(view_, offset);
    if (std::uint64_t{offset} + 2 + 2 * std::uint64_t{length} > view_.size()) {
      Fail(where + ": a name runs past the resource section");
    }
    std::u16string name(length, u'\0');
    for (std::uint32_t i = 0; i < length; ++i) {
      name[i] = static_cast<char16_t>(Get16(view_, offset + 2 + 2 * std::size_t{i}));
    }
    return ResourceId::Name(name);
  }

  void ReadLeaf(std::uint32_t offset, const std::string& path, ResourceEntry& e) {
    if (std::uint64_t{offset} + kDataEntrySize > view_.size()) {
      Fail("resource " + path + ": its data entry lies outside the resource section");
    }
    Consume(kDataEntrySize);
    const std::uint32_t rva = Get32(view_, offset);
    const std::uint32_t size = Get32(view_, offset + 4);
    e.code_page = Get32(view_, offset + 8);
    const auto bytes = image_.MapRva(rva, size);
    if (!bytes) Fail("resource " + path + ": its " + std::to_string(size) + " bytes lie outside the file");
    if (leaves_ == LeafBytes::kInPlace) {
      e.in_place = *bytes;
    } else {
      e.data.assign(bytes->begin(), bytes->end());
    }
  }

  const Image& image_;
  std::span<const std::uint8_t> view_;
  LeafBytes leaves_;
  std::uint64_t used_ = 0;
};

// The tree as laid out: each table with its entries in written order, and every offset.
class Layout {
 public:
  explicit Layout(const ResourceTable& root) {
    std::deque<const ResourceTable*> queue{&root};
    while (!queue.empty()) {
      const ResourceTable* t = queue.front();
      queue.pop_front();
      std::vector<const ResourceEntry*> sorted;
      for (const ResourceEntry& e : t->entries) sorted.push_back(&e);
      std::stable_sort(sorted.begin(), sorted.end(),
                       [](const ResourceEntry* a, const ResourceEntry* b) { return a->id < b->id; });
      for (const ResourceEntry* e : sorted) {
        if (e->table) queue.push_back(e->table.get());
      }
      tables_.push_back({t, std::move(sorted)});
    }

    std::uint64_t at = 0;
    for (const Planned& p : tables_) {
      const auto named = std::count_if(p.entries.begin(), p.entries.end(),
                                       [](const ResourceEntry* e) { return e->id.is_name; });
      if (named > 0xFFFF || p.entries.size() - named > 0xFFFF) {
        throw PeError("too many resources in one table of the resource tree");
      }
      table_offset_[p.table] = at;
      at += kTableHeaderSize + p.entries.size() * kEntrySize;
    }
    ForEachEntry([&](const ResourceEntry& e) {
      if (!e.id.is_name) return;
      if (e.id.name.size() > 0xFFFF) throw PeError("a resource name is too long");
      at = AlignUp(at, 2);
      name_offset_[&e] = at;
      at += 2 + 2 * e.id.name.size();
    });
    at = AlignUp(at, 8);
    ForEachEntry([&](const ResourceEntry& e) {
      if (e.table) return;
      leaf_offset_[&e] = at;
      at += kDataEntrySize;
    });
    ForEachEntry([&](const ResourceEntry& e) {
      if (e.table) return;
      at = AlignUp(at, 8);
      data_offset_[&e] = at;
      at += e.Bytes().size();
    });
    size_ = AlignUp(at, 8);
    // Offsets in the tree have 31 bits.
    if (size_ >= kHighBit) {
      throw PeError("the resources take " + std::to_string(size_) + " bytes, and a resource "
                    "section holds less than 2 GiB (its offsets have 31 bits)");
    }
  }

  // The section's bytes: the tables, names and data entries in one piece of their own, then
  // each leaf's bytes where they lie, behind the fill that aligns them.
  std::vector<FilePiece> Pieces(std::uint32_t section_rva) const {
    if (std::uint64_t{section_rva} + size_ > 0xFFFFFFFFull) {
      throw PeError("the resources do not fit in the image's address space");
    }
    std::uint64_t head_size = size_;
    ForEachEntry([&](const ResourceEntry& e) {
      if (!e.table) head_size = std::min(head_size, data_offset_.at(&e));
    });
    std::vector<FilePiece> pieces(1);
    std::vector<std::uint8_t>& out = pieces[0].own;
    out.assign(static_cast<std::size_t>(head_size), 0);
    const std::span<std::uint8_t> o = out;
    for (const Planned& p : tables_) {
      const std::size_t at = table_offset_.at(p.table);
      const auto named = std::count_if(p.entries.begin(), p.entries.end(),
                                       [](const ResourceEntry* e) { return e->id.is_name; });
      Put32(o, at, p.table->characteristics);
      Put32(o, at + 4, p.table->time_date_stamp);
      Put16(o, at + 8, p.table->major_version);
      Put16(o, at + 10, p.table->minor_version);
      Put16(o, at + 12, static_cast<std::uint16_t>(named));
      Put16(o, at + 14, static_cast<std::uint16_t>(p.entries.size() - named));
      for (std::size_t i = 0; i < p.entries.size(); ++i) {
        const ResourceEntry& e = *p.entries[i];
        const std::size_t entry_at = at + kTableHeaderSize + i * kEntrySize;
        const std::uint32_t name_field =
            e.id.is_name ? kHighBit | static_cast<std::uint32_t>(name_offset_.at(&e))
                         : (e.id.number & ~kHighBit);
        const std::uint32_t target =
            e.table ? kHighBit | static_cast<std::uint32_t>(table_offset_.at(e.table.get()))
                    : static_cast<std::uint32_t>(leaf_offset_.at(&e));
        Put32(o, entry_at, name_field);
        Put32(o, entry_at + 4, target);
      }
    }
    std::uint64_t at = head_size;
    ForEachEntry([&](const ResourceEntry& e) {
      if (e.id.is_name) {
        const std::size_t name_at = name_offset_.at(&e);
        Put16(o, name_at, static_cast<std::uint16_t>(e.id.name.size()));
        for (std::size_t i = 0; i < e.id.name.size(); ++i) Put16(o, name_at + 2 + 2 * i, e.id.name[i]);
      }
      if (!e.table) {
        const std::size_t leaf = leaf_offset_.at(&e);
        const std::uint64_t data = data_offset_.at(&e);
        const std::span<const std::uint8_t> bytes = e.Bytes();
        Put32(o, leaf, static_cast<std::uint32_t>(section_rva + data));
        Put32(o, leaf + 4, static_cast<std::uint32_t>(bytes.size()));
        Put32(o, leaf + 8, e.code_page);
        // Leaves follow one another in this order, each aligned.
        if (data > at) pieces.push_back({std::vector<std::uint8_t>(data - at, 0), {}});
        if (!bytes.empty()) pieces.push_back({{}, bytes});
        at = data + bytes.size();
      }
    });
    if (size_ > at) pieces.push_back({std::vector<std::uint8_t>(size_ - at, 0), {}});
    return pieces;
  }

 private:
  struct Planned {
    const ResourceTable* table;
    std::vector<const ResourceEntry*> entries;
  };

  template <class F>
  void ForEachEntry(F&& f) const {
    for (const Planned& p : tables_) {
      for (const ResourceEntry* e : p.entries) f(*e);
    }
  }

  std::vector<Planned> tables_;
  std::unordered_map<const ResourceTable*, std::uint64_t> table_offset_;
  std::unordered_map<const ResourceEntry*, std::uint64_t> name_offset_;
  std::unordered_map<const ResourceEntry*, std::uint64_t> leaf_offset_;
  std::unordered_map<const ResourceEntry*, std::uint64_t> data_offset_;
  std::uint64_t size_ = 0;
};

ResourceEntry* FindEntry(ResourceTable& t, const ResourceId& id) {
  for (ResourceEntry& e : t.entries) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

ResourceTable& LowerTable(ResourceTable& t, const ResourceId& id) {
  ResourceEntry* e = FindEntry(t, id);
  if (e == nullptr) {
    t.entries.push_back({id, std::make_unique<ResourceTable>(), {}, std::nullopt, 0});
    e = &t.entries.back();
  }
  if (!e->table) {
    throw PeError("resource " + id.ToString() + " is a leaf where a table of resources belongs");
  }
  return *e->table;
}

}  // namespace

std::strong_ordering ResourceId::operator<=>(const ResourceId& o) const {
  if (is_name != o.is_name) return is_name ? std::strong_ordering::less : std::strong_ordering::greater;
  if (is_name) return name.compare(o.name) <=> 0;
  return number <=> o.number;
}

std::string ResourceId::ToString() const {
  if (!is_name) return std::to_string(number);
  std::string s = "\"";
  for (char16_t c : name) s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return s + "\"";
}

ResourceTable ReadResourceTree(const Image& image, LeafBytes leaves) {
  const DataDirectory dir = image.Directory(kResourceDirectoryIndex);
  if (dir.rva == 0) return {};
  const Section* s = image.SectionAt(dir.rva);
  const std::uint32_t offset = s ? dir.rva - s->virtual_address : 0;
  if (s == nullptr || offset >= s->MappedRawSize()) {
    throw PeError("damaged Windows executable: the resource directory lies outside every section");
  }
  // Offsets in the tree may reach anywhere in the rest of the section's mapped bytes.
  const auto view = image.Bytes().subspan(s->raw_offset + offset, s->MappedRawSize() - offset);
  return TreeReader(image, view, leaves).ReadTable(0, 0, "");
}

std::vector<FilePiece> ResourceSectionPieces(const ResourceTable& root, std::uint32_t section_rva) {
  return Layout(root).Pieces(section_rva);
}

std::vector<std::uint8_t> BuildResourceSection(const ResourceTable& root,
                                               std::uint32_t section_rva) {
  std::vector<std::uint8_t> out;
  for (const FilePiece& piece : ResourceSectionPieces(root, section_rva)) {
    out.insert(out.end(), piece.Bytes().begin(), piece.Bytes().end());
  }
  return out;
}

const ResourceEntry* FindResource(const ResourceTable& root, const ResourceId& type,
                                  const ResourceId& name, std::uint32_t language) {
  const ResourceTable* t = &root;
  for (const ResourceId* id : {&type, &name}) {
    const auto it = std::find_if(t->entries.begin(), t->entries.end(),
                                 [&](const ResourceEntry& e) { return e.id == *id && e.table; });
    if (it == t->entries.end()) return nullptr;
    t = it->table.get();
  }
  const ResourceId lang = ResourceId::Number(language);
  const auto it = std::find_if(t->entries.begin(), t->entries.end(),
                               [&](const ResourceEntry& e) { return e.id == lang && !e.table; });
  return it == t->entries.end() ? nullptr : &*it;
}

void SetResource(ResourceTable& root, const ResourceId& type, const ResourceId& name,
                 std::uint32_t language, std::vector<std::uint8_t> data) {
  ResourceTable& names = LowerTable(LowerTable(root, type), name);
  const ResourceId lang = ResourceId::Number(language);
  std::erase_if(names.entries, [&](const ResourceEntry& e) { return e.id == lang; });
  names.entries.push_back({lang, nullptr, std::move(data), std::nullopt, 0});
}

void SetResource(ResourceTable& root, const ResourceId& type, const ResourceId& name,
                 std::uint32_t language, std::span<const std::uint8_t> in_place) {
  SetResource(root, type, name, language, std::vector<std::uint8_t>());
  FindEntry(LowerTable(LowerTable(root, type), name), ResourceId::Number(language))->in_place = in_place;
}

bool RemoveResource(ResourceTable& root, const ResourceId& type, const ResourceId& name) {
  ResourceEntry* t = FindEntry(root, type);
  if (t == nullptr || !t->table) return false;
  const auto removed = std::erase_if(t->table->entries,
                                     [&](const ResourceEntry& e) { return e.id == name; });
  if (t->table->entries.empty()) {
    std::erase_if(root.entries, [&](const ResourceEntry& e) { return e.id == type; });
  }
  return removed != 0;
}

}  // namespace updpack::pe
