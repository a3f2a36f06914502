// Fuzzes the decoder that works in pieces against the whole-buffer decoder: for the same stream
// and entry size both must succeed or fail alike (a cut stream told alike), and on success give
// the same bytes, whatever the size of the rooms the pieces are decoded into.
//
// Input: 2 bytes of entry size (little-endian), 1 byte choosing the room size and whether two
// rooms take turns, then the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "package/decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::size_t total = static_cast<std::size_t>(data[0]) | static_cast<std::size_t>(data[1]) << 8;
  const std::size_t room_size = upd::StreamDecoder::kMinRoom + (data[2] & 0x7F) * 97;
  const bool two_rooms = (data[2] & 0x80) != 0;
  const std::vector<std::uint8_t> stream(data + 3, data + size);  // exact bounds for ASan

  std::vector<std::uint8_t> whole(total);
  bool cut = false;
  const auto decoded = upd::DecompressBlock(stream, whole, &cut);
  const bool whole_ok = decoded && *decoded == total;

  upd::StreamDecoder decoder(stream, total);
  std::vector<std::uint8_t> rooms[2] = {std::vector<std::uint8_t>(room_size),
                                        std::vector<std::uint8_t>(room_size)};
  std::vector<std::uint8_t> joined;
  upd::StreamDecoder::Status status;
  for (std::size_t turn = 0;; ++turn) {
    std::span<const std::uint8_t> piece;
    status = decoder.Next(rooms[two_rooms ? turn % 2 : 0], piece);
    if (joined.size() + piece.size() > total) std::abort();  // never more than the entry
    joined.insert(joined.end(), piece.begin(), piece.end());
    if (status != upd::StreamDecoder::Status::kMore) break;
    if (piece.empty()) std::abort();  // no progress: would loop for ever
  }
  if ((status == upd::StreamDecoder::Status::kDone) != whole_ok) std::abort();
  if (whole_ok && total != 0 && std::memcmp(joined.data(), whole.data(), total) != 0) std::abort();
  if (!whole_ok && (status == upd::StreamDecoder::Status::kCut) != cut) std::abort();
  return 0;
}
