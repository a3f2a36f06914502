// A compressed entry unpacked on a worker thread of its own, piece by piece, into a small ring of
// rooms that the caller empties in order: the entry's size never decides the memory, and the
// caller writes one piece while the next is decoded.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "package/decoder.h"
#include "platform/memory.h"

namespace upd {

// New bytes per piece, and pieces a stream may decode ahead of its reader: the run's two streams
// take 8 MiB, which leaves room in the run's 16 MiB for its threads, the flushes and the rest.
// (The entry ahead is mostly written into its file as it unpacks, not held here; a fifth piece
// measured no faster and took 2 MiB more.)
inline constexpr std::size_t kPieceBytes = std::size_t{1} << 20;
inline constexpr std::size_t kPiecesAhead = 4;
// What one stream's rooms take: each carries the decoder's window in front of its new bytes.
inline constexpr std::size_t kRoomBytes = StreamDecoder::kWindow + kPieceBytes;

class PieceStream {
 public:
  PieceStream() = default;
  PieceStream(const PieceStream&) = delete;
  PieceStream& operator=(const PieceStream&) = delete;
  ~PieceStream();  // stops the decode and joins the worker

  // Has the rooms (allocated once, kept until Release); false when the memory cannot be had.
  bool Reserve();
  // Frees the rooms and ends the worker; the next Reserve starts afresh.
  void Release();

  // Takes a piece the worker hands on itself; false when it could not be used.
  using Sink = std::function<bool(std::span<const std::uint8_t>)>;

  // Decodes `stream` (which must stay valid until Stop or the last piece is taken) into the
  // rooms on the worker. Any stream still running is stopped first. False, with nothing
  // started, when there are no rooms or no thread can be had.
  //
  // With a `sink`, the worker hands each sound piece to it as soon as it is decoded, instead of
  // waiting for the reader, until EndSink: a stream that nobody reads yet then needs no rooms
  // beyond the one being decoded. A piece that is not sound stops the handing on and waits for
  // the reader, as does everything after the sink fails.
  bool Start(std::span<const std::uint8_t> stream, std::uint64_t unpacked_size, Sink sink = {});
  // The same for bytes stored as they are: the pieces are slices of `bytes` (which must stay
  // valid as for Start), handed on without a copy.
  bool StartStored(std::span<const std::uint8_t> bytes, Sink sink = {});
  // Ends the handing on: waits until the sink is no longer called, and tells whether every
  // piece handed on was taken. The pieces after those come through Next, as without a sink.
  bool EndSink();

  struct Piece {
    std::span<const std::uint8_t> bytes;  // valid until Done
    StreamDecoder::Status status;         // kMore, or how the stream ended with this piece
  };
  // Waits for the next piece. Once a piece's status is not kMore there are no more.
  Piece Next();
  // The piece taken last has been used: its room may take new bytes.
  void Done();
  // Stops the decode and waits until the worker has let go of the stream and the rooms.
  void Stop();

  // Decodes `stream` on the calling thread into the rooms, keeping nothing: how a stream ends
  // (kDone when sound). The worker must be idle (stopped or finished).
  StreamDecoder::Status Check(std::span<const std::uint8_t> stream, std::uint64_t unpacked_size);

 private:
  // What the worker hands out: a stream's pieces, or what is left of stored bytes.
  struct Job {
    std::optional<StreamDecoder> stream;
    std::span<const std::uint8_t> stored;
    StreamDecoder::Status Next(std::span<std::uint8_t> room, std::span<const std::uint8_t>& piece);
  };

  bool StartJob(Job job, Sink sink);
  void Work();

  std::vector<platform::GlobalBlock> rooms_;
  std::thread worker_;

  // Below: shared with the worker, under mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Job> job_;            // what the worker hands out; empty when idle
  bool busy_ = false;                 // the worker holds the job
  bool stop_ = false;                 // the reader asks the worker to drop the job
  bool quit_ = false;                 // the worker ends
  std::uint64_t decoded_ = 0;         // pieces decoded since Start
  std::uint64_t taken_ = 0;           // pieces the reader (or the sink) is done with
  Sink sink_;                         // while set, the worker hands pieces on
  bool sink_failed_ = false;          // a piece was refused: nothing more goes to the sink
  bool in_sink_ = false;              // the worker is in the sink, outside the lock
  Piece ready_[kPiecesAhead] = {};
  bool running_ = false;              // started and not stopped: read by the reader only
};

}  // namespace upd
