#include "pe_builder.h"

#include <cstring>
#include <random>

#include "package/byte_order.h"

namespace updtest {
namespace {

using upd::Put16;
using upd::Put32;

std::uint32_t Align(std::uint32_t v, std::uint32_t a) { return (v + a - 1) / a * a; }

bool SameId(const FakeId& a, const FakeId& b) { return a.number == b.number && a.name == b.name; }

// Resources grouped as the tree holds them.
struct NameGroup {
  FakeId id;
  std::vector<const FakeResource*> leaves;
};
struct TypeGroup {
  FakeId id;
  std::vector<NameGroup> names;
};

// Lays the tree out in an order of its own: all tables (root, types, names), then the data
// entries, then the strings, then the data, 4-aligned.
Bytes BuildTree(const std::vector<FakeResource>& resources, std::uint32_t rva) {
  std::vector<TypeGroup> types;
  for (const FakeResource& r : resources) {
    if (types.empty() || !SameId(types.back().id, r.type)) types.push_back({r.type, {}});
    auto& names = types.back().names;
    if (names.empty() || !SameId(names.back().id, r.name)) names.push_back({r.name, {}});
    names.back().leaves.push_back(&r);
  }
  std::uint32_t at = 16 + 8 * static_cast<std::uint32_t>(types.size());
  std::vector<std::uint32_t> type_tables, name_tables, data_entries, strings, data;
  for (const TypeGroup& t : types) {
    type_tables.push_back(at);
    at += 16 + 8 * static_cast<std::uint32_t>(t.names.size());
  }
  for (const TypeGroup& t : types) {
    for (const NameGroup& n : t.names) {
      name_tables.push_back(at);
      at += 16 + 8 * static_cast<std::uint32_t>(n.leaves.size());
    }
  }
  for (std::size_t i = 0; i < resources.size(); ++i) {
    data_entries.push_back(at);
    at += 16;
  }
  auto add_string = [&](const FakeId& id) {
    if (id.name.empty()) return;
    strings.push_back(at);
    at += 2 + 2 * static_cast<std::uint32_t>(id.name.size());
  };
  for (const TypeGroup& t : types) {
    add_string(t.id);
    for (const NameGroup& n : t.names) add_string(n.id);
  }
  for (const FakeResource& r : resources) {
    at = Align(at, 4);
    data.push_back(at);
    at += static_cast<std::uint32_t>(r.data.size());
  }

  Bytes out(at);
  std::size_t next_string = 0, next_name_table = 0, next_leaf = 0;
  auto table = [&](std::uint32_t off, std::size_t count, std::size_t named) {
    Put16(out, off + 12, static_cast<std::uint32_t>(named));
    Put16(out, off + 14, static_cast<std::uint32_t>(count - named));
  };
  auto id_field = [&](const FakeId& id, std::size_t at_entry) {
    if (id.name.empty()) {
      Put32(out, at_entry, id.number);
      return;
    }
    const std::uint32_t s = strings[next_string++];
    Put16(out, s, static_cast<std::uint32_t>(id.name.size()));
    for (std::size_t i = 0; i < id.name.size(); ++i) Put16(out, s + 2 + 2 * i, id.name[i]);
    Put32(out, at_entry, 0x80000000u | s);
  };
  auto named_count = [](const auto& groups) {
    std::size_t n = 0;
    for (const auto& g : groups) n += !g.id.name.empty();
    return n;
  };
  table(0, types.size(), named_count(types));
  for (std::size_t t = 0; t < types.size(); ++t) {
    id_field(types[t].id, 16 + 8 * t);
    Put32(out, 16 + 8 * t + 4, 0x80000000u | type_tables[t]);
    const auto& names = types[t].names;
    table(type_tables[t], names.size(), named_count(names));
    for (std::size_t n = 0; n < names.size(); ++n) {
      const std::uint32_t entry = type_tables[t] + 16 + 8 * static_cast<std::uint32_t>(n);
      id_field(names[n].id, entry);
      const std::uint32_t lang_table = name_tables[next_name_table++];
      Put32(out, entry + 4, 0x80000000u | lang_table);
      table(lang_table, names[n].leaves.size(), 0);
      for (std::size_t l = 0; l < names[n].leaves.size(); ++l) {
        const FakeResource& r = *names[n].leaves[l];
        const std::size_t index = next_leaf++;
        const std::uint32_t lang_entry = lang_table + 16 + 8 * static_cast<std::uint32_t>(l);
        Put32(out, lang_entry, r.language);
        Put32(out, lang_entry + 4, data_entries[index]);
        Put32(out, data_entries[index], rva + data[index]);
        Put32(out, data_entries[index] + 4, static_cast<std::uint32_t>(r.data.size()));
        Put32(out, data_entries[index] + 8, r.code_page);
        std::memcpy(&out[data[index]], r.data.data(), r.data.size());
      }
    }
  }
  return out;
}

struct FakeSection {
  const char* name;
  Bytes data;
  std::uint32_t virtual_size;
  std::uint32_t characteristics;
};

}  // namespace

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

std::vector<FakeResource> StandardResources() {
  const std::string manifest =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>\n";
  std::vector<FakeResource> r;
  // Named types first ("ICONS" < "TABLES" by code units), then numbered ones ascending.
  r.push_back({{0, u"ICONS"}, {7, {}}, 1041, RandomBytes(40, 3), 0});
  r.push_back({{0, u"TABLES"}, {0, u"ALPHA"}, 1033, RandomBytes(33, 4), 0});
  r.push_back({{0, u"TABLES"}, {0, u"BETA"}, 1041, RandomBytes(17, 5), 0});
  r.push_back({{5, {}}, {100, {}}, 1041, RandomBytes(210, 6), 0});
  r.push_back({{5, {}}, {101, {}}, 1041, RandomBytes(260, 7), 0});
  r.push_back({{24, {}}, {1, {}}, 1033, Bytes(manifest.begin(), manifest.end()), 1252});
  return r;
}

Bytes BuildFakePe(const FakePe& shape, FakeLayout* layout) {
  const std::uint32_t fa = shape.file_alignment;
  const std::uint32_t sa = shape.section_alignment;
  std::vector<FakeSection> sections;
  sections.push_back({".text", RandomBytes(0x200, 1), 0x180, 0x60000020});
  sections.push_back({".rdata", RandomBytes(0x300, 2), 0x2F0, 0x40000040});
  std::uint32_t va = 0x1000;
  std::vector<std::uint32_t> vas;
  for (const FakeSection& s : sections) {
    vas.push_back(va);
    va = Align(va + s.virtual_size, sa);
  }
  std::uint32_t rsrc_rva = 0, reloc_rva = 0;
  if (shape.with_rsrc) {
    rsrc_rva = va;
    Bytes tree = BuildTree(shape.resources, rsrc_rva);
    const auto size = static_cast<std::uint32_t>(tree.size());
    sections.push_back({".rsrc", std::move(tree), size, 0x40000040});
    vas.push_back(va);
    va = Align(va + size, sa);
  }
  if (shape.reloc_after_rsrc) {
    reloc_rva = va;
    Bytes block(12);
    Put32(block, 0, 0x1000);
    Put32(block, 4, 12);
    Put16(block, 8, 0xA010);
    sections.push_back({".reloc", block, 12, 0x42000040});
    vas.push_back(va);
    va = Align(va + 12, sa);
  }

  const std::size_t pe = 0x80;
  const std::size_t opt = pe + 24;
  const std::size_t opt_size = shape.pe32_plus ? 240 : 224;
  const std::size_t table = opt + opt_size;
  const std::uint32_t headers = Align(static_cast<std::uint32_t>(table + 40 * sections.size()), fa);

  Bytes out(headers);
  out[0] = 'M';
  out[1] = 'Z';
  Put32(out, 0x3C, pe);
  std::memcpy(&out[pe], "PE\0\0", 4);
  Put16(out, pe + 4, shape.pe32_plus ? 0x8664 : 0x14C);
  Put16(out, pe + 6, static_cast<std::uint32_t>(sections.size()));
  Put16(out, pe + 20, static_cast<std::uint32_t>(opt_size));
  Put16(out, pe + 22, shape.pe32_plus ? 0x0022 : 0x0102);
  Put16(out, opt, shape.pe32_plus ? 0x20B : 0x10B);
  Put32(out, opt + 16, vas[0]);
  Put32(out, opt + 20, vas[0]);
  Put32(out, opt + 32, sa);
  Put32(out, opt + 36, fa);
  Put16(out, opt + 40, 6);
  Put16(out, opt + 48, 6);
  Put32(out, opt + 56, va);
  Put32(out, opt + 60, headers);
  Put16(out, opt + 68, 2);
  const std::size_t dirs = opt + (shape.pe32_plus ? 112 : 96);
  Put32(out, dirs - 4, 16);
  std::uint32_t initialized = 0, code = 0;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const FakeSection& s = sections[i];
    const auto raw_offset = static_cast<std::uint32_t>(out.size());
    const std::uint32_t raw_size = Align(static_cast<std::uint32_t>(s.data.size()), fa);
    out.insert(out.end(), s.data.begin(), s.data.end());
    out.resize(raw_offset + raw_size, 0);
    const std::size_t h = table + 40 * i;
    std::memcpy(&out[h], s.name, std::strlen(s.name));
    Put32(out, h + 8, s.virtual_size);
    Put32(out, h + 12, vas[i]);
    Put32(out, h + 16, raw_size);
    Put32(out, h + 20, raw_offset);
    Put32(out, h + 36, s.characteristics);
    (s.characteristics & 0x20 ? code : initialized) += raw_size;
    if (std::strcmp(s.name, ".rsrc") == 0 && layout) {
      layout->rsrc_raw = raw_offset;
      layout->rsrc_raw_size = raw_size;
      layout->rsrc_rva = vas[i];
    }
  }
  Put32(out, opt + 4, code);
  Put32(out, opt + 8, initialized);
  if (shape.with_rsrc) {
    Put32(out, dirs + 16, rsrc_rva);
    Put32(out, dirs + 20, static_cast<std::uint32_t>(sections[2].data.size()));
  }
  if (shape.reloc_after_rsrc) {
    Put32(out, dirs + 40, reloc_rva);
    Put32(out, dirs + 44, 12);
  }
  if (shape.symbol_count != 0) {
    Put32(out, pe + 12, static_cast<std::uint32_t>(out.size()));
    Put32(out, pe + 16, shape.symbol_count);
    const Bytes symbols = RandomBytes(18 * std::size_t{shape.symbol_count}, 8);
    out.insert(out.end(), symbols.begin(), symbols.end());
    const char strings[] = "\0\0\0\0/4\0.debug_info\0";
    Bytes s(strings, strings + sizeof strings);
    Put32(s, 0, sizeof strings);
    out.insert(out.end(), s.begin(), s.end());
  }
  if (shape.signed_image) {
    out.resize(Align(static_cast<std::uint32_t>(out.size()), 8), 0);
    Put32(out, dirs + 32, static_cast<std::uint32_t>(out.size()));
    Put32(out, dirs + 36, 16);
    Bytes cert(16, 0x5A);
    Put32(cert, 0, 16);
    Put16(cert, 4, 0x0200);
    Put16(cert, 6, 2);
    out.insert(out.end(), cert.begin(), cert.end());
  }
  out.insert(out.end(), shape.overlay.begin(), shape.overlay.end());
  if (layout) {
    layout->pe_offset = pe;
    layout->optional_header = opt;
    layout->section_table = table;
  }
  return out;
}

}  // namespace updtest
