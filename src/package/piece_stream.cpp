#include "package/piece_stream.h"

#include <algorithm>
#include <system_error>

namespace upd {

PieceStream::~PieceStream() { Release(); }

bool PieceStream::Reserve() {
  if (rooms_.size() == kPiecesAhead) return true;
  rooms_.clear();
  std::vector<platform::GlobalBlock> rooms;
  rooms.reserve(kPiecesAhead);
  for (std::size_t i = 0; i < kPiecesAhead; ++i) {
    auto room = platform::GlobalBlock::Allocate(kRoomBytes);
    if (!room) return false;
    rooms.push_back(std::move(*room));
  }
  rooms_ = std::move(rooms);
  return true;
}

void PieceStream::Release() {
  Stop();
  if (worker_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    worker_.join();
    quit_ = false;
  }
  rooms_.clear();
}

StreamDecoder::Status PieceStream::Job::Next(std::span<std::uint8_t> room,
                                             std::span<const std::uint8_t>& piece) {
  if (stream) return stream->Next(room, piece);
  piece = stored.first(std::min(stored.size(), kPieceBytes));
  stored = stored.subspan(piece.size());
  return stored.empty() ? StreamDecoder::Status::kDone : StreamDecoder::Status::kMore;
}

bool PieceStream::Start(std::span<const std::uint8_t> stream, std::uint64_t unpacked_size,
                        Sink sink) {
  Job job;
  job.stream.emplace(stream, unpacked_size);
  return StartJob(std::move(job), std::move(sink));
}

bool PieceStream::StartStored(std::span<const std::uint8_t> bytes, Sink sink) {
  Job job;
  job.stored = bytes;
  return StartJob(std::move(job), std::move(sink));
}

bool PieceStream::StartJob(Job job, Sink sink) {
  Stop();
  if (rooms_.size() != kPiecesAhead) return false;
  if (!worker_.joinable()) {
    try {
      worker_ = std::thread([this] { Work(); });
    } catch (const std::system_error&) {
      return false;
    }
  }
  {
    std::lock_guard lock(mutex_);
    job_.emplace(std::move(job));
    decoded_ = 0;
    taken_ = 0;
    stop_ = false;
    sink_ = std::move(sink);
    sink_failed_ = false;
  }
  running_ = true;
  changed_.notify_all();
  return true;
}

PieceStream::Piece PieceStream::Next() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return decoded_ > taken_; });
  return ready_[taken_ % kPiecesAhead];
}

void PieceStream::Done() {
  {
    std::lock_guard lock(mutex_);
    ++taken_;
  }
  changed_.notify_all();
}

bool PieceStream::EndSink() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !in_sink_; });
  sink_ = nullptr;
  return !sink_failed_;
}

void PieceStream::Stop() {
  if (!running_) return;
  {
    std::unique_lock lock(mutex_);
    stop_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !busy_ && !job_; });
    stop_ = false;
    sink_ = nullptr;
  }
  running_ = false;
}

StreamDecoder::Status PieceStream::Check(std::span<const std::uint8_t> stream,
                                         std::uint64_t unpacked_size) {
  StreamDecoder decoder(stream, unpacked_size);
  std::span<const std::uint8_t> piece;
  StreamDecoder::Status status;
  while ((status = decoder.Next(rooms_.front().bytes(), piece)) == StreamDecoder::Status::kMore) {
  }
  return status;
}

void PieceStream::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return quit_ || job_.has_value(); });
    if (quit_) return;
    busy_ = true;
    for (std::uint64_t k = 0;; ++k) {
      // Room k % n held piece k - n, which the reader must be done with.
      changed_.wait(lock, [&] { return stop_ || quit_ || decoded_ - taken_ < kPiecesAhead; });
      if (stop_ || quit_) break;
      std::span<std::uint8_t> room = rooms_[k % kPiecesAhead].bytes();
      lock.unlock();
      std::span<const std::uint8_t> bytes;
      const StreamDecoder::Status status = job_->Next(room, bytes);
      lock.lock();
      const bool sound = status == StreamDecoder::Status::kMore || status == StreamDecoder::Status::kDone;
      if (sink_ && !sink_failed_ && sound && !stop_ && !quit_) {
        // Handed on outside the lock; the reader waits in EndSink meanwhile.
        in_sink_ = true;
        const Sink& sink = sink_;  // EndSink and Stop leave it alone while in_sink_ is set
        lock.unlock();
        const bool taken = sink(bytes);
        lock.lock();
        in_sink_ = false;
        ++decoded_;
        if (taken && status == StreamDecoder::Status::kDone) {
          // The reader still learns that the stream ended: from an empty last piece.
          ready_[k % kPiecesAhead] = {{}, status};
        } else if (taken) {
          ++taken_;
        } else {
          // Nothing after a refused piece can be used: the reader starts the stream afresh.
          sink_failed_ = true;
          ready_[k % kPiecesAhead] = {{}, StreamDecoder::Status::kDamaged};
          changed_.notify_all();
          break;
        }
        changed_.notify_all();
        if (status != StreamDecoder::Status::kMore) break;
        continue;
      }
      ready_[k % kPiecesAhead] = {bytes, status};
      ++decoded_;
      changed_.notify_all();
      if (status != StreamDecoder::Status::kMore) break;
    }
    job_.reset();
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace upd
