// Figures, side by side on the same data: our decoder against memcpy, zlib's inflate and LZ4's
// decoder; our levels against zlib -6 / -9 and LZ4HC at its highest level. Prints, asserts
// nothing. Decoding times are the fastest of several rounds in which every decoder runs once,
// since the machine may be shared; compression runs once.
//
//   updbench [MEGABYTES] [SEED]
#include <lz4.h>
#include <lz4hc.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "corpus.h"
#include "encoder.h"
#include "package/decoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Once(const std::function<void()>& f) {
  const auto t0 = Clock::now();
  f();
  return Seconds(Clock::now() - t0);
}

Bytes ZlibCompress(const Bytes& in, int level) {
  uLongf n = compressBound(static_cast<uLong>(in.size()));
  Bytes out(n);
  if (compress2(out.data(), &n, in.data(), static_cast<uLong>(in.size()), level) != Z_OK) std::abort();
  out.resize(n);
  return out;
}

void ZlibInflate(const Bytes& in, Bytes& out) {
  uLongf n = static_cast<uLongf>(out.size());
  if (uncompress(out.data(), &n, in.data(), static_cast<uLong>(in.size())) != Z_OK ||
      n != out.size()) {
    std::abort();
  }
}

Bytes Lz4HcCompress(const Bytes& in) {
  Bytes out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(in.size()))));
  const int n = LZ4_compress_HC(reinterpret_cast<const char*>(in.data()),
                                reinterpret_cast<char*>(out.data()), static_cast<int>(in.size()),
                                static_cast<int>(out.size()), LZ4HC_CLEVEL_MAX);
  if (n <= 0) std::abort();
  out.resize(static_cast<std::size_t>(n));
  return out;
}

void Lz4Decode(const Bytes& in, Bytes& out) {
  const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(in.data()),
                                    reinterpret_cast<char*>(out.data()), static_cast<int>(in.size()),
                                    static_cast<int>(out.size()));
  if (n != static_cast<int>(out.size())) std::abort();
}

void OurDecode(const Bytes& in, Bytes& out) {
  const auto n = upd::DecompressBlock(in, out);
  if (!n || *n != out.size()) std::abort();
}

// Totals of one method over a set of files.
struct Tally {
  std::uint64_t in = 0;
  std::uint64_t out = 0;
  double seconds = 0;
  void Add(std::size_t i, std::size_t o, double s) {
    in += i;
    out += o;
    seconds += s;
  }
  double Ratio() const { return in ? static_cast<double>(out) / static_cast<double>(in) : 0; }
  double MBps() const { return seconds > 0 ? static_cast<double>(in) / seconds / 1e6 : 0; }
};

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
  const std::uint32_t seed = argc > 2 ? static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 1;
  const auto corpus = updbench::MakeCorpus(megabytes << 20, seed);
  std::printf("corpus: %zu MiB in %zu files (script text in code page 932, bitmaps, executables, "
              "compressed media), seed %u\n\n", megabytes, corpus.size(), seed);

  const std::vector<std::string> kinds = {"text", "bitmap", "binary", "media", "all"};
  const char* const methods[] = {"fast", "default", "best", "zlib -6", "zlib -9", "LZ4HC max"};
  // [method][kind]: compression; [decoder][kind]: decoding.
  std::map<std::string, std::map<std::string, Tally>> pack, unpack, unpack_as_packed;

  // Packing sizes as a package holds each file: compressed only when that makes it smaller.
  std::map<std::string, std::map<std::string, Tally>> packed;
  using Decode = void (*)(const Bytes&, Bytes&);
  for (const auto& f : corpus) {
    const Bytes& data = f.bytes;
    struct Method {
      std::string name;
      Bytes stream;
      Decode decode;  // null: not timed
    };
    std::vector<Method> ms;
    auto compress = [&](const std::string& name, auto make, Decode decode) {
      Bytes s;
      const double t = Once([&] { s = make(); });
      for (const std::string& k : {f.kind, std::string("all")}) {
        pack[name][k].Add(data.size(), s.size(), t);
        packed[name][k].Add(data.size(), std::min(s.size(), data.size()), t);
      }
      ms.push_back({name, std::move(s), decode});
    };
    for (auto level : {updpack::Level::kFast, updpack::Level::kDefault, updpack::Level::kBest}) {
      compress(std::string(updpack::LevelName(level)), [&] { return updpack::Compress(data, level); },
               level == updpack::Level::kFast ? nullptr : OurDecode);
    }
    compress("zlib -6", [&] { return ZlibCompress(data, 6); }, nullptr);
    compress("zlib -9", [&] { return ZlibCompress(data, 9); }, ZlibInflate);
    compress("LZ4HC max", [&] { return Lz4HcCompress(data); }, Lz4Decode);

    // Decoders timed in rounds, one run of each per round, keeping each one's fastest: a
    // change of load on the machine falls on all of them alike.
    Bytes out(data.size());
    std::map<std::string, double> best;
    double spent = 0;
    for (int round = 0; round < 5 || (spent < 1.0 && round < 200); ++round) {
      for (const Method& m : ms) {
        if (!m.decode) continue;
        const double t = Once([&] { m.decode(m.stream, out); });
        spent += t;
        if (!best.count(m.name) || t < best[m.name]) best[m.name] = t;
        if (round == 0 && out != data) std::abort();
      }
      const double t = Once([&] { std::memcpy(out.data(), data.data(), data.size()); });
      if (!best.count("memcpy") || t < best["memcpy"]) best["memcpy"] = t;
    }
    for (const Method& m : ms) {
      if (!m.decode) continue;
      const bool shrinks = m.stream.size() < data.size();
      for (const std::string& k : {f.kind, std::string("all")}) {
        unpack[m.name][k].Add(data.size(), m.stream.size(), best[m.name]);
        // A stored entry costs a copy.
        unpack_as_packed[m.name][k].Add(data.size(), std::min(m.stream.size(), data.size()),
                                        shrinks ? best[m.name] : best["memcpy"]);
      }
    }
    for (const std::string& k : {f.kind, std::string("all")}) {
      unpack["memcpy"][k].Add(data.size(), data.size(), best["memcpy"]);
      unpack_as_packed["memcpy"][k].Add(data.size(), data.size(), best["memcpy"]);
    }
  }

  std::printf("Compression: size as a share of the input (lower is better), speed in MB/s of input\n");
  std::printf("%-10s", "");
  for (const auto& k : kinds) std::printf(" %15s", k.c_str());
  std::printf("\n");
  for (const char* m : methods) {
    std::printf("%-10s", m);
    for (const auto& k : kinds) {
      const Tally& t = pack[m][k];
      std::printf("  %6.4f %5.1fMB/s", t.Ratio(), t.MBps());
    }
    std::printf("\n");
  }
  auto side_by_side = [&](const char* title, std::map<std::string, std::map<std::string, Tally>>& t) {
    std::printf("\n%s (ours / theirs; below 1 means ours is smaller)\n", title);
    for (const char* ours : {"fast", "default", "best"}) {
      for (const char* theirs : {"zlib -6", "zlib -9", "LZ4HC max"}) {
        std::printf("%-8s / %-10s", ours, theirs);
        for (const auto& k : kinds) std::printf(" %8s %6.3f", k.c_str(), t[ours][k].Ratio() / t[theirs][k].Ratio());
        std::printf("\n");
      }
    }
  };
  side_by_side("Size of the streams side by side", pack);
  side_by_side("Size as a package holds the files (a file that does not shrink is stored)", packed);

  auto decode_table = [&](const char* title, std::map<std::string, std::map<std::string, Tally>>& table) {
    std::printf("\n%s: output MB/s\n", title);
    std::printf("%-16s", "");
    for (const auto& k : kinds) std::printf(" %9s", k.c_str());
    std::printf("\n");
    for (const char* m : {"ours (default)", "ours (best)", "zlib inflate", "LZ4", "memcpy"}) {
      const std::string key = std::string(m) == "ours (default)" ? "default"
                              : std::string(m) == "ours (best)"  ? "best"
                              : std::string(m) == "zlib inflate" ? "zlib -9"
                              : std::string(m) == "LZ4"          ? "LZ4HC max"
                                                                 : "memcpy";
      std::printf("%-16s", m);
      for (const auto& k : kinds) std::printf(" %9.0f", table[key][k].MBps());
      std::printf("\n");
    }
    std::printf("%-16s", "ours/inflate");
    for (const auto& k : kinds) std::printf(" %8.2fx", table["best"][k].MBps() / table["zlib -9"][k].MBps());
    std::printf("\n%-16s", "ours/LZ4");
    for (const auto& k : kinds) std::printf(" %8.2fx", table["best"][k].MBps() / table["LZ4HC max"][k].MBps());
    std::printf("\n%-16s", "ours/memcpy");
    for (const auto& k : kinds) std::printf(" %8.3fx", table["best"][k].MBps() / table["memcpy"][k].MBps());
    std::printf("\n");
  };
  decode_table("Decoding every file's stream (ratios for our best-level streams)", unpack);
  decode_table("Decoding as a package holds the files (an entry that does not shrink is stored and copied)",
               unpack_as_packed);
  return 0;
}
