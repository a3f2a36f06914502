// The packer's PE resource writer against hand-built images: the package lands where the
// updater looks for it, everything else in the image stays as it was, the headers stay
// consistent, and damaged or unsafe stubs are refused with a message.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "embed.h"
#include "pe_builder.h"
#include "pe_update.h"

namespace {

using updtest::Bytes;
using updtest::FakeLayout;
using updtest::FakePe;
using updtest::FakeResource;
using namespace updpack::pe;

const ResourceId kUpdateType = ResourceId::Name(u"UPDATE");
const ResourceId kPackageId = ResourceId::Number(102);

std::uint32_t U16(const Bytes& b, std::size_t at) { return b.at(at) | b.at(at + 1) << 8; }
std::uint32_t U32(const Bytes& b, std::size_t at) { return U16(b, at) | U16(b, at + 2) << 16; }
void Set32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint64_t Align(std::uint64_t v, std::uint64_t a) { return (v + a - 1) / a * a; }

// The image's headers as read by the test itself.
struct Headers {
  std::size_t pe, opt, dirs, table;
  bool plus;
  std::uint32_t sections, section_alignment, file_alignment;

  explicit Headers(const Bytes& b) {
    pe = U32(b, 0x3C);
    opt = pe + 24;
    plus = U16(b, opt) == 0x20B;
    dirs = opt + (plus ? 112 : 96);
    table = opt + U16(b, pe + 20);
    sections = U16(b, pe + 6);
    section_alignment = U32(b, opt + 32);
    file_alignment = U32(b, opt + 36);
  }
  std::size_t Section(std::size_t i) const { return table + 40 * i; }
};

// The checksum formulated over 32-bit words, as other tools compute it: a different route to
// the value imagehlp's 16-bit sum gives.
std::uint32_t ReferenceCheckSum(Bytes b, std::size_t checksum_at) {
  const std::uint64_t length = b.size();
  b.resize(Align(b.size(), 4), 0);
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < b.size(); i += 4) {
    if (i == checksum_at) continue;
    sum += U32(b, i);
    sum = (sum & 0xFFFFFFFF) + (sum >> 32);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum = (sum + (sum >> 16)) & 0xFFFF;
  return static_cast<std::uint32_t>(sum + length);
}

// Every table of the tree at `offset` lists names first, names by code units, numbers ascending:
// the loader finds entries by bisection.
void ExpectSortedTree(const Bytes& b, std::size_t base, std::size_t offset, int level) {
  ASSERT_LT(level, 3);
  const std::uint32_t named = U16(b, base + offset + 12);
  const std::uint32_t count = named + U16(b, base + offset + 14);
  std::vector<std::u16string> names;
  std::vector<std::uint32_t> numbers;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t e = base + offset + 16 + 8 * i;
    const std::uint32_t name = U32(b, e);
    if (i < named) {
      ASSERT_NE(name & 0x80000000u, 0u);
      const std::size_t s = base + (name & 0x7FFFFFFF);
      std::u16string n;
      for (std::uint32_t k = 0; k < U16(b, s); ++k) n += static_cast<char16_t>(U16(b, s + 2 + 2 * k));
      names.push_back(n);
    } else {
      ASSERT_EQ(name & 0x80000000u, 0u);
      numbers.push_back(name);
    }
    const std::uint32_t target = U32(b, e + 4);
    if (target & 0x80000000u) ExpectSortedTree(b, base, target & 0x7FFFFFFF, level + 1);
  }
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_TRUE(std::adjacent_find(names.begin(), names.end()) == names.end());
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
  EXPECT_TRUE(std::adjacent_find(numbers.begin(), numbers.end()) == numbers.end());
}

// What the loader and imagehlp rely on: sections contiguous in memory and inside the file,
// SizeOfImage, SizeOfInitializedData, the resource directory and the checksum.
void ExpectConsistentImage(const Bytes& b) {
  const Headers h(b);
  std::uint64_t initialized = 0;
  std::uint64_t next_va = 0;
  for (std::uint32_t i = 0; i < h.sections; ++i) {
    SCOPED_TRACE("section " + std::to_string(i));
    const std::size_t s = h.Section(i);
    const std::uint32_t vsize = U32(b, s + 8), va = U32(b, s + 12);
    const std::uint32_t raw_size = U32(b, s + 16), raw = U32(b, s + 20);
    EXPECT_EQ(raw % h.file_alignment, 0u);
    EXPECT_EQ(raw_size % h.file_alignment, 0u);
    EXPECT_LE(std::uint64_t{raw} + raw_size, b.size());
    EXPECT_GE(raw_size, vsize);
    if (i > 0) {
      EXPECT_EQ(va, next_va);
    }
    next_va = Align(std::uint64_t{va} + vsize, h.section_alignment);
    if (U32(b, s + 36) & 0x40) initialized += raw_size;
  }
  EXPECT_EQ(U32(b, h.opt + 56), next_va) << "SizeOfImage";
  EXPECT_EQ(U32(b, h.opt + 8), initialized) << "SizeOfInitializedData";
  // The resource directory starts a section and lies inside it.
  const std::uint32_t rva = U32(b, h.dirs + 16), size = U32(b, h.dirs + 20);
  bool found = false;
  for (std::uint32_t i = 0; i < h.sections; ++i) {
    const std::size_t s = h.Section(i);
    if (U32(b, s + 12) != rva) continue;
    found = true;
    EXPECT_LE(size, U32(b, s + 8));
    ExpectSortedTree(b, U32(b, s + 20), 0, 0);
  }
  EXPECT_TRUE(found) << "no section starts at the resource directory";
  EXPECT_EQ(U32(b, h.opt + 64), ReferenceCheckSum(b, h.opt + 64)) << "CheckSum";
}

void ExpectStandardResources(const Bytes& file, const std::vector<FakeResource>& expected) {
  const Image image{Bytes(file)};
  const ResourceTable tree = ReadResourceTree(image);
  for (const FakeResource& r : expected) {
    auto id = [](const updtest::FakeId& f) {
      return f.name.empty() ? ResourceId::Number(f.number) : ResourceId::Name(f.name);
    };
    SCOPED_TRACE("resource " + id(r.type).ToString() + "/" + id(r.name).ToString());
    const ResourceEntry* e = FindResource(tree, id(r.type), id(r.name), r.language);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data, r.data);
    EXPECT_EQ(e->code_page, r.code_page);
  }
}

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const PeError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(PeChecksum, MatchesHandComputedSums) {
  struct Row {
    const char* name;
    Bytes file;
    std::size_t checksum_at;
    std::uint32_t expected;
  };
  const Row rows[] = {
      {"words and length", {0x01, 0x02, 0x03, 0x00}, 100, 0x0201 + 0x0003 + 4},
      {"odd last byte counts as a word", {0x01, 0x02, 0x03}, 100, 0x0201 + 0x0003 + 3},
      {"carry wraps around", {0xFF, 0xFF, 0x02, 0x00}, 100, 0x0002 + 4},
      {"field counts as zero", {0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x20, 0x00}, 2, 0x30 + 8},
      {"field at an odd offset", {0x10, 0xAA, 0xBB, 0xCC, 0xDD, 0x00, 0x20, 0x00}, 1, 0x30 + 8},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(ComputeCheckSum(r.file, r.checksum_at), r.expected);
  }
}

TEST(PeRead, FindsEveryResourceOfHandBuiltImages) {
  for (bool plus : {true, false}) {
    SCOPED_TRACE(plus ? "PE32+" : "PE32");
    FakePe shape;
    shape.pe32_plus = plus;
    shape.resources = updtest::StandardResources();
    const Bytes file = BuildFakePe(shape);
    ExpectStandardResources(file, shape.resources);
    EXPECT_EQ(updpack::ReadEmbeddedPackage(file), std::nullopt);
    const Image image{Bytes(file)};
    EXPECT_EQ(FindResource(ReadResourceTree(image), ResourceId::Number(24), ResourceId::Number(1),
                           1041),
              nullptr)
        << "a language that is not there";
  }
}

TEST(PeEmbed, PackageLandsAndTheRestStays) {
  struct Row {
    const char* name;
    std::function<void(FakePe&)> shape;
    bool appends;  // a new section, or the resource section rewritten in place
  };
  const Row rows[] = {
      {"PE32+, resources last", [](FakePe&) {}, false},
      {"PE32+, .reloc after resources (MinGW)", [](FakePe& s) { s.reloc_after_rsrc = true; }, true},
      {"PE32, resources last", [](FakePe& s) { s.pe32_plus = false; }, false},
      {"PE32, .reloc after resources",
       [](FakePe& s) { s.pe32_plus = false; s.reloc_after_rsrc = true; }, true},
      {"no resources at all", [](FakePe& s) { s.with_rsrc = false; s.resources.clear(); }, true},
      {"COFF symbols after resources", [](FakePe& s) { s.symbol_count = 12; }, false},
      {"COFF symbols, .reloc after resources",
       [](FakePe& s) { s.symbol_count = 12; s.reloc_after_rsrc = true; }, true},
      {"4 KiB file alignment",
       [](FakePe& s) { s.file_alignment = 0x1000; s.reloc_after_rsrc = true; }, true},
      {"zero padding after the sections", [](FakePe& s) { s.overlay = Bytes(0x200, 0); }, false},
  };
  const std::uint32_t seed = 4104;
  std::printf("package seed %u\n", seed);
  const Bytes package = updtest::RandomBytes(70001, seed);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    FakePe shape;
    shape.resources = updtest::StandardResources();
    r.shape(shape);
    FakeLayout layout;
    const Bytes stub = BuildFakePe(shape, &layout);
    const RewriteResult result = updpack::EmbedPackage(stub, package);
    const Bytes& out = result.file;
    EXPECT_EQ(result.appended_section, r.appends);

    EXPECT_EQ(updpack::ReadEmbeddedPackage(out), package);
    ExpectStandardResources(out, shape.resources);
    ExpectConsistentImage(out);

    // Every section but a rewritten resource section keeps its header and bytes.
    const Headers before(stub), after(out);
    EXPECT_EQ(after.sections, before.sections + (r.appends ? 1 : 0));
    for (std::uint32_t i = 0; i < before.sections; ++i) {
      const std::size_t s = before.Section(i);
      if (!r.appends && U32(stub, s + 20) == layout.rsrc_raw) continue;
      SCOPED_TRACE("section " + std::to_string(i));
      EXPECT_TRUE(std::equal(stub.begin() + s, stub.begin() + s + 40, out.begin() + s));
      const std::size_t raw = U32(stub, s + 20), size = U32(stub, s + 16);
      EXPECT_TRUE(std::equal(stub.begin() + raw, stub.begin() + raw + size, out.begin() + raw));
    }
    // Other data directories (the relocations here) still point where they did.
    EXPECT_EQ(U32(out, after.dirs + 40), U32(stub, before.dirs + 40));
    if (shape.symbol_count != 0) {
      const std::size_t from = U32(stub, before.pe + 12), to = U32(out, after.pe + 12);
      const std::size_t length = stub.size() - from;
      ASSERT_LE(to + length, out.size());
      EXPECT_TRUE(std::equal(stub.begin() + from, stub.end(), out.begin() + to))
          << "the symbol and string tables moved without their pointer";
      EXPECT_EQ(U32(out, after.pe + 16), shape.symbol_count);
    }
  }
}

TEST(PeEmbed, EmbeddingAgainReplacesThePackage) {
  FakePe shape;
  shape.resources = updtest::StandardResources();
  shape.reloc_after_rsrc = true;
  shape.symbol_count = 5;
  const Bytes stub = BuildFakePe(shape);
  const Bytes first = updtest::RandomBytes(90000, 11);
  const Bytes second = updtest::RandomBytes(3000, 12);

  const RewriteResult once = updpack::EmbedPackage(stub, first);
  const RewriteResult twice = updpack::EmbedPackage(once.file, second);
  const RewriteResult thrice = updpack::EmbedPackage(twice.file, first);
  EXPECT_FALSE(twice.appended_section) << "the section added the first time is reused";
  EXPECT_FALSE(thrice.appended_section);
  EXPECT_LT(twice.file.size(), once.file.size()) << "a smaller package shrinks the section";
  EXPECT_EQ(thrice.file, once.file) << "the same inputs give the same image";

  for (const Bytes* out : {&twice.file, &thrice.file}) {
    const Bytes& expected = out == &twice.file ? second : first;
    ExpectConsistentImage(*out);
    ExpectStandardResources(*out, shape.resources);
    const Image image{Bytes(*out)};
    EXPECT_EQ(Headers(*out).sections, Headers(once.file).sections);
    const ResourceTable tree = ReadResourceTree(image);
    const auto type = std::count_if(tree.entries.begin(), tree.entries.end(),
                                    [](const ResourceEntry& e) { return e.id == kUpdateType; });
    ASSERT_EQ(type, 1);
    const ResourceEntry* e = FindResource(tree, kUpdateType, kPackageId, 1041);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data, expected);
    const auto& names = std::find_if(tree.entries.begin(), tree.entries.end(), [](const auto& x) {
                          return x.id == kUpdateType;
                        })->table->entries;
    ASSERT_EQ(names.size(), 1u);
    ASSERT_EQ(names[0].table->entries.size(), 1u) << "exactly one language of UPDATE/102";
  }
}

// A directory that begins before the resource section but reaches into it (found by fuzzing:
// one starting in the headers, over a resource section whose virtual size ran far past the
// image) keeps the section as it is: rewritten in place, it shrank under the directory, which
// then pointed past the image and the next embed refused the output. The package goes into a
// new section, and embedding again rewrites that one.
TEST(PeEmbed, DirectoryReachingIntoTheResourcesKeepsThem) {
  FakePe shape;
  shape.resources = updtest::StandardResources();
  shape.file_alignment = 0x400;  // headers with room for another section
  FakeLayout layout;
  Bytes stub = BuildFakePe(shape, &layout);
  const std::size_t debug_dir = layout.optional_header + 112 + 6 * 8;
  Set32(stub, debug_dir, 0x80);
  Set32(stub, debug_dir + 4, layout.rsrc_rva - 0x80 + 0x10);
  const Bytes package = updtest::RandomBytes(100, 3);

  const RewriteResult once = updpack::EmbedPackage(stub, package);
  EXPECT_TRUE(once.appended_section);
  ExpectConsistentImage(once.file);
  ExpectStandardResources(once.file, shape.resources);
  const RewriteResult twice = updpack::EmbedPackage(once.file, package);
  EXPECT_FALSE(twice.appended_section);
  EXPECT_EQ(twice.file, once.file);
  EXPECT_EQ(updpack::ReadEmbeddedPackage(twice.file), package);
}

// A symbol pointer at the very end of the file, with no symbols and no string table behind
// it (found by fuzzing): the section appended there came to lie under it, so the next embed
// took the new section for one holding symbols and refused the output. The pointer names no
// table and is cleared; the output takes another package.
TEST(PeEmbed, EmptySymbolPointerAtTheEndIsCleared) {
  FakePe shape;
  shape.resources = updtest::StandardResources();
  shape.reloc_after_rsrc = true;
  FakeLayout layout;
  Bytes stub = BuildFakePe(shape, &layout);
  Set32(stub, layout.pe_offset + 12, static_cast<std::uint32_t>(stub.size()));
  const Bytes package = updtest::RandomBytes(100, 5);

  const RewriteResult once = updpack::EmbedPackage(stub, package);
  EXPECT_TRUE(once.appended_section);
  EXPECT_EQ(U32(once.file, layout.pe_offset + 12), 0u);
  ExpectConsistentImage(once.file);
  const RewriteResult twice = updpack::EmbedPackage(once.file, updtest::RandomBytes(50, 6));
  EXPECT_FALSE(twice.appended_section);
  EXPECT_EQ(updpack::ReadEmbeddedPackage(twice.file), updtest::RandomBytes(50, 6));
}

TEST(PeEmbed, OtherLanguagesOfThePackageGoOtherNamesStay) {
  FakePe shape;
  shape.resources = updtest::StandardResources();
  // A stub that already carries packages: UPDATE/102 in two languages, and UPDATE/103.
  const Bytes old_ja = updtest::RandomBytes(50, 21), old_en = updtest::RandomBytes(60, 22);
  const Bytes other = updtest::RandomBytes(70, 23);
  shape.resources.insert(shape.resources.begin() + 3,
                        {{{0, u"UPDATE"}, {102, {}}, 1033, old_en, 0},
                         {{0, u"UPDATE"}, {102, {}}, 1041, old_ja, 0},
                         {{0, u"UPDATE"}, {103, {}}, 1041, other, 0}});
  const Bytes stub = BuildFakePe(shape);
  EXPECT_EQ(updpack::ReadEmbeddedPackage(stub), old_ja);

  const Bytes package = updtest::RandomBytes(500, 24);
  const Bytes out = updpack::EmbedPackage(stub, package).file;
  const Image image{Bytes(out)};
  const ResourceTable tree = ReadResourceTree(image);
  EXPECT_EQ(FindResource(tree, kUpdateType, kPackageId, 1041)->data, package);
  EXPECT_EQ(FindResource(tree, kUpdateType, kPackageId, 1033), nullptr);
  ASSERT_NE(FindResource(tree, kUpdateType, ResourceId::Number(103), 1041), nullptr);
  EXPECT_EQ(FindResource(tree, kUpdateType, ResourceId::Number(103), 1041)->data, other);
  shape.resources.erase(shape.resources.begin() + 3, shape.resources.begin() + 5);
  ExpectStandardResources(out, shape.resources);
  ExpectConsistentImage(out);
}

TEST(PeRefuse, NotAnExecutableOrDamaged) {
  struct Row {
    const char* name;
    std::function<void(Bytes&, const FakeLayout&)> damage;
    const char* message;
  };
  const auto set32 = [](std::size_t FakeLayout::*field, std::size_t plus, std::uint32_t v) {
    return [=](Bytes& b, const FakeLayout& l) { Set32(b, l.*field + plus, v); };
  };
  const Row rows[] = {
      {"empty file", [](Bytes& b, const FakeLayout&) { b.clear(); }, "not a Windows executable"},
      {"a text file",
       [](Bytes& b, const FakeLayout&) { b.assign(200, 'x'); }, "not a Windows executable"},
      {"DOS header only",
       [](Bytes& b, const FakeLayout&) { b.resize(64); }, "PE header offset 0x80 lies outside"},
      {"16-bit program",
       [](Bytes& b, const FakeLayout& l) { b[l.pe_offset] = 'N'; b[l.pe_offset + 1] = 'E'; },
       "no PE signature"},
      {"unknown optional header",
       [](Bytes& b, const FakeLayout& l) { b[l.optional_header] = 0x07; }, "neither PE32 nor PE32+"},
      {"cut inside the section data",
       [](Bytes& b, const FakeLayout& l) { b.resize(l.rsrc_raw + 10); },
       "section 3 ('.rsrc'): its data runs past the end of the file"},
      {"cut inside the section table",
       [](Bytes& b, const FakeLayout& l) { b.resize(l.section_table + 50); },
       "section table runs past the end"},
      {"too many data directories", set32(&FakeLayout::optional_header, 108, 0x10000000),
       "do not fit in the optional header"},
      {"file alignment zero", set32(&FakeLayout::optional_header, 36, 0), "unusable alignment"},
      {"overlapping sections", set32(&FakeLayout::section_table, 40 + 12, 0x1000), "overlaps"},
      {"a section over the headers' page", set32(&FakeLayout::section_table, 12, 0),
       "section 1 ('.text') overlaps the headers"},
      {"a section address off the alignment",
       [](Bytes& b, const FakeLayout& l) { Set32(b, l.section_table + 40 + 12, U32(b, l.section_table + 40 + 12) + 0x10); },
       "section 2 ('.rdata'): its address 0x"},
      {"headers that end inside the section table",
       [](Bytes& b, const FakeLayout& l) {
         Set32(b, l.optional_header + 60, static_cast<std::uint32_t>(l.section_table + 40));
       },
       "ends before the section table does"},
      {"section data inside the headers",
       [](Bytes& b, const FakeLayout& l) {
         Set32(b, l.optional_header + 60, static_cast<std::uint32_t>(l.rsrc_raw + 0x200));
       },
       "section 1 ('.text'): its data at 0x"},
      {"SizeOfImage short of the last section", set32(&FakeLayout::optional_header, 56, 0x2000),
       "SizeOfImage (0x2000) ends before the sections do"},
      {"a file alignment below 512 that is not the section alignment",
       set32(&FakeLayout::optional_header, 36, 0x10), "unusable alignment"},
      {"resource directory outside every section",
       set32(&FakeLayout::optional_header, 112 + 16, 0x7FFF0000), "outside every section"},
      {"resource root claims too many entries",
       [](Bytes& b, const FakeLayout& l) { b[l.rsrc_raw + 14] = 0xFF; b[l.rsrc_raw + 15] = 0xFF; },
       "entries run past the resource section"},
      {"named entries miscounted",
       [](Bytes& b, const FakeLayout& l) { b[l.rsrc_raw + 12] = 0; }, "disagrees"},
      {"name string outside the section", set32(&FakeLayout::rsrc_raw, 16, 0xFFFFFFF0u),
       "a name lies outside the section"},
      {"type table outside the section", set32(&FakeLayout::rsrc_raw, 20, 0x80FFFFF0u),
       "its table lies outside the resource section"},
      {"a table pointing back at the root", set32(&FakeLayout::rsrc_raw, 20, 0x80000000u),
       "deeper than type/name/language"},
      {"resource data outside the file",
       [](Bytes& b, const FakeLayout& l) {
         // The first data entry follows the tables; find it through the first leaf.
         const std::size_t type_table = l.rsrc_raw + (U32(b, l.rsrc_raw + 20) & 0x7FFFFFFF);
         const std::size_t lang_table = l.rsrc_raw + (U32(b, type_table + 20) & 0x7FFFFFFF);
         const std::size_t leaf = l.rsrc_raw + U32(b, lang_table + 20);
         Set32(b, leaf, 0x00F00000);
       },
       "bytes lie outside the file"},
  };
  FakePe shape;
  shape.resources = updtest::StandardResources();
  FakeLayout layout;
  const Bytes good = BuildFakePe(shape, &layout);
  const Bytes package = updtest::RandomBytes(100, 31);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Bytes bad = good;
    r.damage(bad, layout);
    EXPECT_THAT(ErrorOf([&] { updpack::EmbedPackage(bad, package); }),
                testing::HasSubstr(r.message));
    EXPECT_THAT(ErrorOf([&] { updpack::ReadEmbeddedPackage(bad); }), testing::HasSubstr(r.message));
  }
}

// Bytes given as "offset:byte" pairs over a zero-filled file of `size` bytes.
Bytes FromPairs(std::size_t size, const std::string& pairs) {
  Bytes b(size, 0);
  for (std::size_t at = 0; at < pairs.size();) {
    const std::size_t colon = pairs.find(':', at);
    const std::size_t end = std::min(pairs.find(' ', at), pairs.size());
    b.at(std::stoul(pairs.substr(at, colon - at), nullptr, 16)) =
        static_cast<std::uint8_t>(std::stoul(pairs.substr(colon + 1, end - colon - 1), nullptr, 16));
    at = end + 1;
  }
  return b;
}

// Stubs that fuzzing found the writer mishandling: refused by the reader (as Windows's loader
// refuses them), so embed neither overruns its buffer nor writes what it cannot read back.
TEST(PeRefuse, LayoutsFoundByFuzzing) {
  struct Row {
    const char* name;
    Bytes stub;
    const char* message;
  };
  FakePe shape;
  shape.resources = updtest::StandardResources();
  FakeLayout layout;
  Bytes headers_over_rsrc = BuildFakePe(shape, &layout);
  ASSERT_GE(layout.rsrc_raw_size, 0x200u);
  Set32(headers_over_rsrc, layout.optional_header + 60, static_cast<std::uint32_t>(layout.rsrc_raw + 0x200));
  const Row rows[] = {
      // PE32, file alignment 1, SizeOfHeaders 0, the resource section's data from byte 1: the
      // in-place rewrite cut the file to 1 byte and wrote the section header past its end.
      {"resource data over the headers",
       FromPairs(248, "00:4d 01:5a 3c:40 40:50 41:45 44:4c 45:01 46:01 54:78 56:02 57:01 58:0b "
                      "59:01 79:10 7c:01 b4:03 c9:10 cc:10 d0:2e d1:72 d2:73 d3:72 d4:63 d9:01 "
                      "dd:10 e0:f7 e4:01 f4:40"),
       "unusable alignment"},
      // SizeOfHeaders reaching into the last section's data: embed wrote a file that its own
      // reader refused.
      {"headers reaching into the resource data", headers_over_rsrc, "begins inside the headers"},
      // .data at 0x1010 under a section alignment of 0x1000: the new .rsrc went to 0x2000, which
      // the reader took for an overlap. (Both have a file alignment of 1, which Windows refuses.)
      {"a section address off the alignment",
       FromPairs(288, "00:4d 01:5a 3c:40 40:50 41:45 44:4c 45:01 46:01 54:78 56:02 57:01 58:0b "
                      "59:01 79:10 7c:01 94:20 95:01 b4:03 d0:2e d1:64 d2:61 d3:74 d4:61 d8:10 "
                      "dc:10 dd:10"),
       "unusable alignment"},
      // The same two with a file alignment Windows takes: each is refused for what it is.
      {"resource data over the headers, file alignment 512",
       FromPairs(248, "00:4d 01:5a 3c:40 40:50 41:45 44:4c 45:01 46:01 54:78 56:02 57:01 58:0b "
                      "59:01 79:10 7d:02 b4:03 c9:10 cc:10 d0:2e d1:72 d2:73 d3:72 d4:63 d9:01 "
                      "dd:10 e0:f7 e4:01 f4:40"),
       "SizeOfHeaders (0x0) ends before the section table does (0xF8)"},
      {"a section address off the alignment, file alignment 512",
       FromPairs(288, "00:4d 01:5a 3c:40 40:50 41:45 44:4c 45:01 46:01 54:78 56:02 57:01 58:0b "
                      "59:01 79:10 7d:02 94:20 95:01 b4:03 d0:2e d1:64 d2:61 d3:74 d4:61 d8:10 "
                      "dc:10 dd:10"),
       "section 1 ('.data'): its address 0x1010 is not a multiple of the section alignment"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_THAT(ErrorOf([&] { updpack::EmbedPackage(r.stub, {1, 2, 3}); }),
                testing::HasSubstr(r.message));
    EXPECT_THAT(ErrorOf([&] { updpack::ReadEmbeddedPackage(r.stub); }),
                testing::HasSubstr(r.message));
  }
}

// PE32+ without sections whose exception directory points at 0x1000, where embed put the new
// .rsrc: the output had the directory inside its resources, so embedding again found the
// section shared, had no room for another one and refused its own output. Reading it is fine.
TEST(PeRefuse, DirectoryWhereTheNewSectionGoesFoundByFuzzing) {
  // (SizeOfImage set to 0x1000, the headers' page: the reproducer had 0, which is now refused
  // for itself.)
  const Bytes stub = FromPairs(512, "00:4d 01:5a 3c:80 80:50 81:45 94:f0 98:0b 99:02 b9:10 bd:02 "
                                    "d1:10 d5:02 104:10 121:10 1d7:80");
  EXPECT_THAT(ErrorOf([&] { updpack::EmbedPackage(stub, {1}); }),
              testing::HasSubstr("data directory 3 points past the end of the image (0x1000, 0 "
                                 "bytes; the image ends at 0x1000)"));
  EXPECT_EQ(updpack::ReadEmbeddedPackage(stub), std::nullopt);
}

TEST(PeRefuse, ImagesThatCannotBeRewrittenSafely) {
  struct Row {
    const char* name;
    std::function<void(FakePe&)> shape;
    std::function<void(Bytes&, const FakeLayout&)> damage;
    const char* message;
  };
  const Row rows[] = {
      {"signed", [](FakePe& s) { s.signed_image = true; }, {}, "signed"},
      {"overlay", [](FakePe& s) { s.overlay = {1, 2, 3, 4, 5}; }, {}, " 5 bytes of appended data"},
      {"overlay after COFF symbols",
       [](FakePe& s) { s.symbol_count = 3; s.overlay = {0, 0, 9}; }, {}, " 3 bytes of appended data"},
      {"section table full",
       [](FakePe& s) { s.reloc_after_rsrc = true; },
       [](Bytes& b, const FakeLayout& l) { b[l.section_table + 4 * 40 + 3] = 1; },
       "no room for another section"},
      {"symbol table outside the file", [](FakePe&) {},
       [](Bytes& b, const FakeLayout& l) { Set32(b, l.pe_offset + 12, 0x7FFFFFF0); },
       "symbol table lies outside the file"},
      // A directory (here the exception table) that points past the last section would point
      // into the new resources once they are appended or grown there.
      {"directory at the image's end, where a section is appended",
       [](FakePe& s) { s.reloc_after_rsrc = true; },
       [](Bytes& b, const FakeLayout& l) {
         Set32(b, l.optional_header + 112 + 3 * 8, U32(b, l.optional_header + 56));
       },
       "data directory 3 points past the end of the image"},
      {"directory past the resource section that grows in place", [](FakePe&) {},
       [](Bytes& b, const FakeLayout& l) {
         Set32(b, l.optional_header + 112 + 3 * 8, U32(b, l.optional_header + 56) + 0x10);
         Set32(b, l.optional_header + 112 + 3 * 8 + 4, 8);
       },
       "data directory 3 points past the end of the image"},
      {"directory running past the image's end", [](FakePe&) {},
       [](Bytes& b, const FakeLayout& l) {
         Set32(b, l.optional_header + 112 + 6 * 8, U32(b, l.optional_header + 56) - 8);
         Set32(b, l.optional_header + 112 + 6 * 8 + 4, 0x1C);
       },
       "data directory 6 points past the end of the image"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    FakePe shape;
    shape.resources = updtest::StandardResources();
    r.shape(shape);
    FakeLayout layout;
    Bytes stub = BuildFakePe(shape, &layout);
    if (r.damage) r.damage(stub, layout);
    EXPECT_THAT(ErrorOf([&] { updpack::EmbedPackage(stub, {1, 2, 3}); }),
                testing::HasSubstr(r.message));
    // Reading the resources of such an image is harmless and still works.
    EXPECT_EQ(updpack::ReadEmbeddedPackage(stub), std::nullopt);
  }
}

// Truncations and random byte changes of a stub: every outcome is a refusal with a PeError or
// an image that carries the package. Run under the sanitizers, this is the parser's fuzzing.
TEST(PeFuzz, DamagedStubsAreRefusedOrEmbedded) {
  FakePe shape;
  shape.resources = updtest::StandardResources();
  shape.reloc_after_rsrc = true;
  shape.symbol_count = 4;
  FakeLayout layout;
  const Bytes stub = BuildFakePe(shape, &layout);
  const Bytes package = updtest::RandomBytes(300, 41);
  int embedded = 0, refused = 0;
  const auto attempt = [&](const Bytes& input) {
    try {
      const Bytes out = updpack::EmbedPackage(input, package).file;
      ++embedded;
      ASSERT_EQ(updpack::ReadEmbeddedPackage(out), package);
    } catch (const PeError&) {
      ++refused;
    }
  };
  for (std::size_t n = 0; n < stub.size(); n += 3) {
    attempt(Bytes(stub.begin(), stub.begin() + n));
  }
  const std::uint32_t seed = 20240611;
  std::printf("fuzz seed %u\n", seed);
  std::mt19937 rng(seed);
  // Most changes go where the parser reads: headers and the resource tree.
  const std::size_t hot_end = layout.section_table + 5 * 40;
  for (int i = 0; i < 3000; ++i) {
    Bytes b = stub;
    const int changes = 1 + static_cast<int>(rng() % 4);
    for (int c = 0; c < changes; ++c) {
      const std::size_t at = (rng() % 2) ? rng() % hot_end : layout.rsrc_raw + rng() % 0x200;
      b[at] = (rng() % 3 == 0) ? static_cast<std::uint8_t>(b[at] ^ (1u << (rng() % 8)))
                               : static_cast<std::uint8_t>(rng());
    }
    attempt(b);
    if (HasFatalFailure()) return;
  }
  std::printf("embedded %d, refused %d\n", embedded, refused);
  EXPECT_GT(embedded, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
