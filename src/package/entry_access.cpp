#include "package/entry_access.h"

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <future>
#include <memory>
#include <string>
#include <system_error>

#include "base/error_box.h"
#include "base/messages.h"
#include "base/state.h"
#include "config/text_format.h"
#include "package/container.h"
#include "package/decoder.h"
#include "package/integrity.h"
#include "package/piece_stream.h"
#include "platform/codepage.h"
#include "platform/name_compare.h"

namespace upd {
namespace {

// Bytes written between two background flushes of a file.
constexpr std::size_t kFlushStep = std::size_t{8} << 20;

// Flushes a file being written on another thread each time kFlushStep more bytes were written
// and the flush before has ended; waits for the one under way when it goes. A flush that fails
// or a thread that cannot be had changes nothing: the flush before the move still covers all.
class BackgroundFlush {
 public:
  explicit BackgroundFlush(platform::ReplacementFile& file) : file_(file) {}
  BackgroundFlush(const BackgroundFlush&) = delete;
  BackgroundFlush& operator=(const BackgroundFlush&) = delete;
  ~BackgroundFlush() {
    if (running_.valid()) running_.wait();
  }

  void Wrote(std::size_t bytes) {
    unflushed_ += bytes;
    if (unflushed_ < kFlushStep) return;
    if (running_.valid() && running_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      return;
    }
    try {
      running_ = std::async(std::launch::async, [&file = file_] { file.FlushSoFar(); });
      unflushed_ = 0;
    } catch (const std::system_error&) {
    }
  }

 private:
  platform::ReplacementFile& file_;
  std::size_t unflushed_ = 0;
  std::future<void> running_;
};

// The entry running ahead when it is written beside its target as it unpacks: the file that
// will take the target's place, begun by the stream's own thread.
struct AheadFile {
  std::filesystem::path target;
  std::unique_ptr<platform::ReplacementFile> file;
  std::unique_ptr<BackgroundFlush> flush;  // goes before the file it flushes
};

// The two streams of the run: the entry being written, and the one unpacked ahead of it.
struct Streams {
  PieceStream slot[2];
  std::size_t current = 0;             // the slot of the entry being written
  std::optional<std::size_t> ahead;    // the entry running in the other slot
  std::optional<AheadFile> ahead_file;  // with `ahead`, when it is written as it unpacks
};
Streams& RunStreams() {
  static Streams streams;
  return streams;
}

// Stops the entry running ahead; its rooms stay for the next. A file begun for it goes.
void DropAhead() {
  Streams& s = RunStreams();
  if (s.ahead) s.slot[1 - s.current].Stop();
  s.ahead.reset();
  s.ahead_file.reset();
}

// Every stream of the run stopped, its worker ended and its rooms freed.
void EndStreams() {
  DropAhead();
  for (PieceStream& stream : RunStreams().slot) stream.Release();
}

// Every message of an extraction: it fails, so the entry ahead stops first, and nothing goes on
// growing in the game's folders while the player reads the box.
void Report(std::string_view message) {
  DropAhead();
  ShowUpdaterError(message);
}

// The walk over the records: the first whose name matches wins.
std::optional<std::size_t> IndexOfEntry(std::string_view name) {
  const RunState& run = Run();
  if (!run.Directory) return std::nullopt;
  const platform::NameMatcher wanted(name);
  const auto entries = run.Directory->Entries();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // The integrity record is no file of the update: never handed out or written.
    if (entries[i].Name() == kIntegrityEntryName) continue;
    if (wanted.Matches(entries[i].Name())) return i;
  }
  return std::nullopt;
}

// The same, showing the not-found message.
std::optional<std::size_t> LookUpEntry(std::string_view name) {
  const auto index = IndexOfEntry(name);
  if (!index) Report(texts::kEntryNotFoundMessage);
  return index;
}


// The bytes of the entry at `index`: in place for a stored entry, decoded for a compressed one.
std::optional<EntryBytes> EntryBytesAt(std::size_t index) {
  const RunState& run = Run();
  const PackageEntry& entry = run.Directory->Entries()[index];
  // The loader only accepts directories whose data lies inside the image, and stored entries
  // whose UnpackedSize does not exceed their StoredSize.
  const auto stored = run.Directory->StoredBytes(run.PackageImage, index);
  if (!entry.IsCompressed()) return EntryBytes::ViewInto(stored.first(entry.UnpackedSize));

  auto block = platform::GlobalBlock::Allocate(entry.UnpackedSize);
  if (!block) {
    Report(texts::kNoMemoryMessage);
    return std::nullopt;
  }
  // A damaged stream, or one that yields fewer bytes than the entry claims, gives no file: its
  // bytes must never be written or handed out as if they were the entry.
  const auto decoded = DecompressBlock(stored, block->bytes());
  if (!decoded || *decoded != entry.UnpackedSize) {
    Report(texts::kEntryNotFoundMessage);
    return std::nullopt;
  }
  return EntryBytes::Owning(std::move(*block));
}

// What the shortage message names: the drive letter and colon of a path that begins with one;
// for any other path (a \\server\share path, a relative one) its volume root without the final
// backslash, as the system spells it.
std::string DriveString(const std::filesystem::path& target, const std::wstring& volume_root) {
  const std::wstring& t = target.native();
  if (t.size() >= 2 && std::iswalpha(t[0]) && t[1] == L':') {
    return platform::NarrowCp932Lossy(std::wstring_view(t).substr(0, 2));
  }
  std::wstring_view root = volume_root;
  if (root.size() > 1 && root.back() == L'\\') root.remove_suffix(1);
  return platform::NarrowCp932Lossy(root);
}

}  // namespace

std::optional<EntryBytes> FindPackageEntry(std::string_view name) {
  const auto index = LookUpEntry(name);
  if (!index) return std::nullopt;
  return EntryBytesAt(*index);
}

namespace {

// Lookup and the free-space test on the target's volume, in this order, each failure after its
// message: the entry's index.
std::optional<std::size_t> EntryForTarget(std::string_view name, const std::filesystem::path& target) {
  const auto index = LookUpEntry(name);
  if (!index) return std::nullopt;
  const PackageEntry& entry = Run().Directory->Entries()[*index];

  // What a file begun ahead for this very target holds is counted as free: the test sees the
  // volume as it would be had the entry not been begun early. It stops growing first.
  std::uint64_t begun = 0;
  Streams& s = RunStreams();
  if (s.ahead_file && s.ahead == *index) {
    if (platform::SamePath(s.ahead_file->target.native(), target.native()) &&
        s.slot[1 - s.current].EndSink()) {
      s.ahead_file->flush.reset();
      begun = s.ahead_file->file->AllocatedBytes().value_or(0);
    } else {
      DropAhead();  // begun for another place, or its writing failed: unpacked afresh
    }
  }

  // The whole entry must fit in what the volume has free; an existing file's space is not
  // counted, and equal counts pass. When the free space cannot be learned at all, the test does
  // not stop the write: the write itself is atomic, so on a disk that really is full it fails
  // and leaves the old file as it was.
  if (const auto space = platform::QueryFreeSpace(target);
      space && space->available_to_caller + begun < entry.UnpackedSize) {
    // Here the free bytes are below 2^32, so the shortage is a 32-bit difference; it is shown
    // as a signed number.
    const auto shortage = static_cast<std::int32_t>(
        entry.UnpackedSize - static_cast<std::uint32_t>(space->available_to_caller + begun));
    const auto root = platform::VolumeRootOf(target);
    Report(FormatText(texts::kEntryDiskShortFormat, {DriveString(target, root.value_or(L"")), shortage}).view());
    return std::nullopt;
  }
  return index;
}

// The stream that unpacks the compressed entry `index`: the one running ahead for it, else one
// started now. Nothing after a message: "Can't Allocate Memory !!" when its rooms or its thread
// cannot be had; "Can't Find File in Resource !!" when the package's streams were not proven by
// its integrity record and this one, decoded once to nowhere, turns out damaged (so a damaged
// entry is reported before its target is looked at, as when entries were unpacked whole).
//
// When the entry was begun ahead in a file beside this target (EntryForTarget has stopped its
// growing), `begun` takes that file: the stream goes on with the pieces after those in it.
PieceStream* StreamFor(std::size_t index, std::unique_ptr<platform::ReplacementFile>& begun) {
  Streams& s = RunStreams();
  if (s.ahead == index) {
    s.ahead.reset();
    if (s.ahead_file) begun = std::move(s.ahead_file->file);
    s.ahead_file.reset();
    s.current = 1 - s.current;
    return &s.slot[s.current];
  }
  DropAhead();
  PieceStream& stream = s.slot[s.current];
  stream.Stop();
  const RunState& run = Run();
  const std::uint64_t size = run.Directory->Entries()[index].UnpackedSize;
  const auto stored = run.Directory->StoredBytes(run.PackageImage, index);
  if (!stream.Reserve()) {
    Report(texts::kNoMemoryMessage);
    return nullptr;
  }
  if (!run.StreamsProven && stream.Check(stored, size) != StreamDecoder::Status::kDone) {
    Report(texts::kEntryNotFoundMessage);
    return nullptr;
  }
  if (!stream.Start(stored, size)) {
    Report(texts::kNoMemoryMessage);
    return nullptr;
  }
  return &stream;
}

// The content of a file being written: the pieces of a stream, or bytes in place.
class EntryContent {
 public:
  explicit EntryContent(PieceStream* stream, std::unique_ptr<platform::ReplacementFile> begun = {})
      : stream_(stream), begun_(std::move(begun)) {}
  explicit EntryContent(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  EntryContent(const EntryContent&) = delete;
  EntryContent& operator=(const EntryContent&) = delete;
  // However the write ends, the stream is let go: nothing decodes for a file no longer written.
  // A begun file that is not taken goes with its handle.
  ~EntryContent() {
    if (stream_) stream_->Stop();
  }

  // The file that already holds the content's first pieces, if any: the rest goes after them.
  std::unique_ptr<platform::ReplacementFile> TakeBegun() { return std::move(begun_); }

  // Writes the whole content to `file`; false when a write fails or the stream turns out
  // damaged (after its message). A large file is flushed on a thread of its own as it grows,
  // so the flush before its move (which the next entry's write waits for) has little left.
  bool WriteTo(platform::ReplacementFile& file) {
    BackgroundFlush flush(file);
    if (!stream_) {
      for (std::span<const std::uint8_t> rest = bytes_; !rest.empty();) {
        const auto step = rest.first(std::min(rest.size(), kFlushStep));
        if (!file.Write(step)) return false;
        flush.Wrote(step.size());
        rest = rest.subspan(step.size());
      }
      return true;
    }
    for (;;) {
      const PieceStream::Piece piece = stream_->Next();
      if (piece.status != StreamDecoder::Status::kMore &&
          piece.status != StreamDecoder::Status::kDone) {
        Report(texts::kEntryNotFoundMessage);
        return false;
      }
      if (!file.Write(piece.bytes)) return false;
      stream_->Done();
      flush.Wrote(piece.bytes.size());
      if (piece.status == StreamDecoder::Status::kDone) return true;
    }
  }

 private:
  PieceStream* stream_ = nullptr;
  std::unique_ptr<platform::ReplacementFile> begun_;
  std::span<const std::uint8_t> bytes_;
};

// Creates or replaces `path` with what `content` writes, as WriteWholeFile does. `folder_final`:
// the final path of the held folder the file must lie in (empty: not checked). With `only_new`,
// a file that is at `path` by the move stays and the write ends kTargetTaken.
Extracted WriteReplacement(const std::filesystem::path& path, EntryContent& content,
                           std::optional<std::uint64_t> stamp, std::wstring_view folder_final = {},
                           bool only_new = false) {
  // What creating the file over an existing one refuses (CREATE_ALWAYS with normal attributes)
  // stays refused, so the result does not depend on how the file system treats the move.
  constexpr std::uint32_t kNotReplaced = platform::kAttributeDirectory |
                                         platform::kAttributeReadOnly |
                                         platform::kAttributeHidden | platform::kAttributeSystem;
  if (const auto attributes = platform::AttributesOf(path);
      attributes && (*attributes & kNotReplaced)) {
    return Extracted::kFailed;
  }

  std::unique_ptr<platform::ReplacementFile> file = content.TakeBegun();
  if (!file) {
    auto created = platform::ReplacementFile::CreateBeside(path, folder_final);
    if (!created) return Extracted::kFailed;
    file = std::make_unique<platform::ReplacementFile>(std::move(*created));
  }
  if (!content.WriteTo(*file)) return Extracted::kFailed;
  if (stamp && !file->SetTimes(*stamp)) return Extracted::kFailed;
  switch (file->MoveOver(path, /*replace=*/!only_new)) {
    case platform::ReplacementFile::Moved::kMoved: return Extracted::kDone;
    case platform::ReplacementFile::Moved::kTargetTaken: return Extracted::kTargetTaken;
    case platform::ReplacementFile::Moved::kFailed: break;
  }
  return Extracted::kFailed;
}

// Room the volume must keep beyond both files before the next one is begun ahead of its turn.
constexpr std::uint64_t kAheadMargin = std::uint64_t{64} << 20;

// PrepareEntry, with the bytes of the file being written now (not yet on the volume). With a
// target, the entry is written beside it as it unpacks, when the volume has room for that file,
// this one and a margin: a file begun early never takes space that the one before needs.
void PrepareAhead(std::string_view name, const std::filesystem::path& target,
                  std::wstring_view folder, std::uint64_t writing_now) {
  DropAhead();
  const RunState& run = Run();
  // Without proof that the streams are sound, each is checked when it is asked for, so that a
  // damaged one is reported before its target is touched: nothing to gain by starting early.
  if (!run.StreamsProven) return;
  const auto index = IndexOfEntry(name);
  if (!index) return;
  const bool compressed = run.Directory->Entries()[*index].IsCompressed();
  const std::uint64_t size = run.Directory->Entries()[*index].UnpackedSize;
  Streams& s = RunStreams();
  PieceStream& stream = s.slot[1 - s.current];
  // Rooms or a thread that cannot be had leave nothing running; the extraction then tries
  // again and reports it.
  if (!stream.Reserve()) return;
  std::optional<AheadFile> ahead;
  PieceStream::Sink sink;
  if (const auto space = target.empty() ? std::nullopt : platform::QueryFreeSpace(target);
      space && space->available_to_caller >= writing_now + size + kAheadMargin) {
    if (auto created = platform::ReplacementFile::CreateBeside(target, folder)) {
      ahead.emplace();
      ahead->target = target;
      ahead->file = std::make_unique<platform::ReplacementFile>(std::move(*created));
      ahead->flush = std::make_unique<BackgroundFlush>(*ahead->file);
      sink = [file = ahead->file.get(), flush = ahead->flush.get()](std::span<const std::uint8_t> piece) {
        if (!file->Write(piece)) return false;
        flush->Wrote(piece.size());
        return true;
      };
    }
  }
  // Stored bytes are only worth taking ahead into a file: in memory they are there already.
  if (!compressed && !sink) return;
  const auto stored = run.Directory->StoredBytes(run.PackageImage, *index);
  if (compressed ? !stream.Start(stored, size, std::move(sink))
                 : !stream.StartStored(stored.first(static_cast<std::size_t>(size)), std::move(sink))) {
    return;
  }
  s.ahead = *index;
  s.ahead_file = std::move(ahead);
}

}  // namespace

std::optional<EntryBytes> EntryBytesFor(std::string_view name, const std::filesystem::path& target) {
  const auto index = EntryForTarget(name, target);
  if (!index) return std::nullopt;
  return EntryBytesAt(*index);
}

Extracted ExtractEntry(std::string_view name, const std::filesystem::path& target,
                       const ExtractRequest& request) {
  const auto index = EntryForTarget(name, target);
  if (!index) return Extracted::kFailed;
  const RunState& run = Run();
  const PackageEntry& entry = run.Directory->Entries()[*index];
  // Stored entries are written from the image as they lie; the loader only accepts directories
  // whose data lies inside the image, and stored entries whose UnpackedSize does not exceed
  // their StoredSize.
  std::optional<EntryContent> content;
  if (entry.IsCompressed()) {
    std::unique_ptr<platform::ReplacementFile> begun;
    PieceStream* stream = StreamFor(*index, begun);
    if (!stream) return Extracted::kFailed;
    content.emplace(stream, std::move(begun));
  } else if (RunStreams().ahead == *index && RunStreams().ahead_file) {
    // Stored bytes begun ahead beside this target: the rest follows from the same stream.
    std::unique_ptr<platform::ReplacementFile> begun;
    content.emplace(StreamFor(*index, begun), std::move(begun));
  } else {
    content.emplace(run.Directory->StoredBytes(run.PackageImage, *index).first(entry.UnpackedSize));
  }
  if (!request.unpack_next.empty()) {
    // The same place twice: the next file is begun only once this one has taken its place.
    const bool same_place = platform::SamePath(request.next_target.native(), target.native());
    PrepareAhead(request.unpack_next, same_place ? std::filesystem::path() : request.next_target,
                 request.next_folder, entry.UnpackedSize);
  }
  // However this extraction fails, the entry ahead stops: nothing goes on growing in the game's
  // folders while the player reads the run's message. (A save found at the target by the move
  // is no failure: the run goes on, and so does the entry ahead.)
  struct StopAheadOnFailure {
    Extracted result = Extracted::kFailed;
    ~StopAheadOnFailure() {
      if (result == Extracted::kFailed) DropAhead();
    }
  } outcome;
  std::wstring folder_final;
  if (request.folder_ready) {
    auto held = request.folder_ready();
    if (!held) return outcome.result;
    folder_final = std::move(*held);
  }

  const auto attributes = platform::AttributesOf(target);
  if (attributes) {
    if (*attributes & platform::kAttributeDirectory) return outcome.result;
    // A link in the target's place is replaced by the new file, never changed itself: its
    // attributes belong to a file elsewhere.
    if ((*attributes & platform::kAttributeReadOnly) && !(*attributes & platform::kAttributeReparsePoint)) {
      // Normal drops every other attribute too; this stays so even when the file is kept.
      // Through one handle, and only on the file its name gives in the folder held.
      platform::NormalizeAttributesAt(
          target, folder_final.empty() ? target.parent_path().native() : std::wstring_view(folder_final));
    }
    if (request.keep_newer) {
      // Strictly later keeps the file; a time that cannot be read lets the entry be written.
      const auto written = platform::LastWriteTimeOf(target);
      if (written && IsNewerThanEntry(*written, entry.TimeStamp)) return outcome.result = Extracted::kDone;
    }
  }
  outcome.result = WriteReplacement(target, *content, entry.TimeStamp, folder_final, request.only_new);
  return outcome.result;
}

bool ExtractPackageEntry(std::string_view name, const std::filesystem::path& target,
                         bool keep_newer, std::string_view unpack_next) {
  ExtractRequest request;
  request.keep_newer = keep_newer;
  request.unpack_next = unpack_next;
  return ExtractEntry(name, target, request) == Extracted::kDone;
}

void PrepareEntry(std::string_view name, const std::filesystem::path& target, std::wstring_view folder) {
  PrepareAhead(name, target, folder, 0);
}

void DropPreparedEntry() { EndStreams(); }

bool WriteWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                    std::optional<std::uint64_t> stamp) {
  EntryContent content(bytes);
  return WriteReplacement(path, content, stamp) == Extracted::kDone;
}

}  // namespace upd
