#include "io/archive.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "base/strings.hpp"
#include "io/inflate.hpp"

namespace demstitch {
namespace {

constexpr int64_t text_limit = int64_t{64} << 10;    // a tile's header or .prj
constexpr size_t input_chunk = size_t{128} << 10;    // compressed bytes read at a time
constexpr size_t scan_chunk = size_t{1} << 20;       // bytes decoded at a time while listing
constexpr int64_t scan_spacing = int64_t{32} << 20;  // checkpoints into a raster, listing
constexpr size_t scan_checkpoints_kept = 16;         // at most, a raster, spaced wider as it grows
constexpr int64_t rolling_spacing = int64_t{2} << 20;  // and while it is read
constexpr size_t rolling_kept = 4;
constexpr size_t cache_bytes = size_t{256} << 10;  // decoded bytes a member keeps behind it
constexpr int64_t tar_block = 512;

enum class Part { other, header, raster, projection };

// A tile's member by its extension, in any case; "NAME.HDR" needs a NAME.
Part part_of(std::string_view name) {
  const size_t slash = name.find_last_of('/');
  const std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
  if (base.size() < 5) return Part::other;
  const std::string extension = ascii_lower(base.substr(base.size() - 4));
  if (extension == ".hdr") return Part::header;
  if (extension == ".dem") return Part::raster;
  if (extension == ".prj") return Part::projection;
  return Part::other;
}

Status damaged(const std::string& path, std::string why) {
  return Status::error(StatusKind::corrupt, Side::input, path, std::move(why));
}

uint32_t le16(const std::byte* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}
uint32_t le32(const std::byte* p) { return le16(p) | le16(p + 2) << 16; }
uint64_t le64(const std::byte* p) { return le32(p) | uint64_t{le32(p + 4)} << 32; }

// Copies `bytes` into `pieces` from piece byte `skip` on; returns the bytes copied.
size_t copy_into(std::span<const std::span<std::byte>> pieces, size_t skip,
                 std::span<const std::byte> bytes) {
  size_t copied = 0;
  if (bytes.empty()) return 0;
  for (std::span<std::byte> piece : pieces) {
    if (skip >= piece.size()) {
      skip -= piece.size();
      continue;
    }
    const size_t n = std::min(piece.size() - skip, bytes.size() - copied);
    std::memcpy(piece.data() + skip, bytes.data() + copied, n);
    copied += n;
    skip = 0;
    if (copied == bytes.size()) break;
  }
  return copied;
}

size_t total_size(std::span<const std::span<std::byte>> pieces) {
  size_t total = 0;
  for (std::span<std::byte> piece : pieces) total += piece.size();
  return total;
}

// Whether an archive's file is as it was when it was listed: once it is written to, no more
// of its members' bytes are delivered.
bool unchanged(const Source& file, const std::optional<FileVersion>& listed) {
  return !listed || file.version() == listed;
}

// Reads exactly out.size() bytes at `offset`; false when the file ends first.
Status read_exactly(const Source& file, int64_t offset, std::span<std::byte> out, bool* whole) {
  size_t got = 0;
  Status s = file.read_at(offset, std::span(&out, 1), &got);
  *whole = s.ok() && got == out.size();
  return s;
}

}  // namespace

// Where decoding a compressed member may start again.
struct Checkpoint {
  int64_t position = 0;  // decoded bytes before it
  int64_t input = 0;     // the file offset of the next compressed byte
  uint32_t crc = 0;      // of the member's bytes before it, where known
  bool crc_known = false;
  std::shared_ptr<const Inflater> state;  // null: a decoder at the start of its stream
};

struct ArchiveMember {
  std::string name;  // as the archive holds it
  Part part = Part::other;
  int64_t size = 0;     // as the archive states it
  int64_t data = 0;     // where its data begins: in the file, or in a .tar.gz's decoded tar
  int64_t packed = -1;  // a zip member's compressed bytes
  uint32_t method = 0;  // a zip member's: 0 stored, 8 deflate
  bool encrypted = false;
  bool sparse = false;  // a sparse tar member, which is not read
  std::optional<uint32_t> crc;
  std::vector<Checkpoint> checkpoints;  // into a .tar.gz raster
  int64_t checkpoint_spacing = scan_spacing;
  std::string link;                 // a hard link's target, where it names none before it
  std::optional<std::string> text;  // a .tar.gz header or .prj, read while listing
  Status text_status;               // why it could not be
};

namespace {

// A member held in memory.
class TextSource final : public Source {
 public:
  TextSource(std::string name, std::string text, std::optional<FileId> id)
      : name_(std::move(name)), text_(std::move(text)), id_(id) {}
  const std::string& name() const override { return name_; }
  Status size(int64_t* bytes) const override {
    *bytes = static_cast<int64_t>(text_.size());
    return {};
  }
  std::optional<FileId> id() const override { return id_; }
  Status read_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                 size_t* got) const override {
    const auto at = static_cast<size_t>(std::clamp<int64_t>(offset, 0, std::ssize(text_)));
    *got = copy_into(pieces, 0, std::as_bytes(std::span(text_)).subspan(at));
    return {};
  }

 private:
  std::string name_;
  std::string text_;
  std::optional<FileId> id_;
};

// A stored member: a stretch of the archive's file.
class SliceSource final : public Source {
 public:
  SliceSource(std::shared_ptr<const Source> file, std::string name, int64_t start, int64_t size,
              std::optional<FileVersion> listed)
      : file_(std::move(file)),
        name_(std::move(name)),
        start_(start),
        size_(size),
        listed_(listed) {}
  const std::string& name() const override { return name_; }
  Status size(int64_t* bytes) const override {
    *bytes = size_;
    return {};
  }
  std::optional<FileId> id() const override { return file_->id(); }
  Status read_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                 size_t* got) const override {
    *got = 0;
    if (offset >= size_) return {};
    auto left = static_cast<uint64_t>(size_ - offset);
    std::vector<std::span<std::byte>> clipped;
    for (std::span<std::byte> piece : pieces) {
      if (left == 0) break;
      clipped.push_back(piece.first(static_cast<size_t>(std::min<uint64_t>(piece.size(), left))));
      left -= clipped.back().size();
    }
    Status s = file_->read_at(start_ + offset, clipped, got);
    // A failure of the archive's file is told under the member's name.
    if (!s.ok()) return Status::error(s.kind(), Side::input, name_, s.detail());
    // Bytes read from an archive rewritten since it was listed are not its member's.
    if (!unchanged(*file_, listed_)) *got = 0;
    return s;
  }

 private:
  std::shared_ptr<const Source> file_;
  std::string name_;
  int64_t start_;
  int64_t size_;
  std::optional<FileVersion> listed_;
};

// A compressed member's decoding, forward from checkpoints as it is read (see Archive).
class MemberDecoder {
 public:
  struct Stream {
    std::shared_ptr<const Source> file;
    Inflater::Wrapper wrapper = Inflater::Wrapper::raw;
    int64_t input_end = 0;  // where its compressed bytes end in the file
    std::vector<Checkpoint> checkpoints;
    int64_t start = 0;  // the member's first byte among the decoded ones
    int64_t size = 0;
    std::optional<uint32_t> crc;
    std::optional<FileVersion> listed;  // the file's state when the archive was listed
  };
  MemberDecoder(std::string name, Stream stream)
      : name_(std::move(name)), stream_(std::move(stream)) {
    cursors_.reserve(cursors_kept);  // cursors are held by address while they decode
  }

  const std::string& name() const { return name_; }
  const Stream& stream() const { return stream_; }

  Status read(int64_t offset, std::span<const std::span<std::byte>> pieces, size_t* got) {
    *got = 0;
    if (offset < 0 || offset >= stream_.size) return {};
    const auto want =
        static_cast<size_t>(std::min<uint64_t>(total_size(pieces), stream_.size - offset));
    while (*got < want) {
      const int64_t at = stream_.start + offset + static_cast<int64_t>(*got);
      Cursor* c = cursor_for(at);
      if (c == nullptr) break;
      if (at >= c->cache_begin && at < c->cache_end) {
        const auto n = static_cast<size_t>(std::min<int64_t>(c->cache_end - at, want - *got));
        const auto from = static_cast<size_t>(at - c->cache_begin);
        *got += copy_into(pieces, *got, std::span(c->cache).subspan(from, n));
        continue;
      }
      if (Status s = decode_more(*c); !s.ok()) return s;
    }
    return {};
  }

 private:
  // A place the member is decoded at, with the bytes it decoded last. Two readers that
  // follow each other at a distance (two runs of a tiled format over the same rows) each
  // keep one.
  struct Cursor {
    std::unique_ptr<Inflater> decoder;  // none before it starts and once it is done
    std::vector<std::byte> input;
    size_t input_used = 0;
    int64_t input_at = 0;  // the file offset after `input`
    std::vector<std::byte> cache;
    int64_t cache_begin = 0;  // the decoded positions the cache holds
    int64_t cache_end = 0;
    uint32_t crc = 0;
    bool crc_known = false;
    uint64_t used = 0;  // when it last served a read
    int64_t last_rolling = 0;
  };
  static constexpr size_t cursors_kept = 2;

  // The cursor that holds `at`, or that decodes forward to it soonest (moved to a later
  // checkpoint where that is nearer, or a new one); none once the member has failed.
  Cursor* cursor_for(int64_t at) {
    ++clock_;
    for (Cursor& c : cursors_) {
      if (at >= c.cache_begin && at < c.cache_end) {
        c.used = clock_;
        return &c;
      }
    }
    if (failed_) return nullptr;
    const Checkpoint& best = best_checkpoint(at);
    Cursor* target = nullptr;
    for (Cursor& c : cursors_) {
      if (c.decoder && c.cache_end <= at &&
          (target == nullptr || c.cache_end > target->cache_end)) {
        target = &c;
      }
    }
    if (target != nullptr && target->cache_end >= best.position) {
      target->used = clock_;
      return target;
    }
    if (target == nullptr && cursors_.size() < cursors_kept) target = &cursors_.emplace_back();
    if (target == nullptr) {
      target = &*std::min_element(cursors_.begin(), cursors_.end(),
                                  [](const Cursor& a, const Cursor& b) { return a.used < b.used; });
    }
    restart(*target, best);
    target->used = clock_;
    return target;
  }

  // The last checkpoint at or before `at`; the first is always at or before the member.
  const Checkpoint& best_checkpoint(int64_t at) const {
    const Checkpoint* best = &stream_.checkpoints.front();
    for (const auto* list : {&stream_.checkpoints, &rolling_}) {
      for (const Checkpoint& c : *list) {
        if (c.position <= at && c.position > best->position) best = &c;
      }
    }
    return *best;
  }

  void restart(Cursor& c, const Checkpoint& from) {
    c.decoder = from.state ? std::make_unique<Inflater>(*from.state)
                           : std::make_unique<Inflater>(stream_.wrapper);
    c.input_at = from.input;
    c.input.clear();
    c.input_used = 0;
    c.crc = from.crc;
    c.crc_known = from.crc_known;
    c.cache_begin = c.cache_end = from.position;
    c.last_rolling = from.position;
  }

  // Decodes the next piece into a cursor's cache; fails only when the file cannot be read.
  // A member that is damaged, ends early or fails its check sets failed_: reads then come
  // up short.
  Status decode_more(Cursor& c) {
    const int64_t end = stream_.start + stream_.size;
    if (c.cache.empty()) c.cache.resize(cache_bytes);
    auto kept = static_cast<size_t>(c.cache_end - c.cache_begin);
    if (c.cache.size() - kept < c.cache.size() / 4) {
      const size_t drop = kept - c.cache.size() / 2;
      std::memmove(c.cache.data(), c.cache.data() + drop, kept - drop);
      c.cache_begin += static_cast<int64_t>(drop);
      kept -= drop;
    }
    if (c.input_used == c.input.size()) {
      const int64_t left = stream_.input_end - c.input_at;
      if (left <= 0) return fail();
      c.input.resize(static_cast<size_t>(std::min<int64_t>(left, input_chunk)));
      size_t got = 0;
      std::span<std::byte> buffer(c.input);
      Status s = stream_.file->read_at(c.input_at, std::span(&buffer, 1), &got);
      if (!s.ok()) return Status::error(s.kind(), Side::input, name_, s.detail());
      // An archive rewritten since it was listed: nothing decoded from now on is its member.
      if (got == 0 || !unchanged(*stream_.file, stream_.listed)) return fail();
      c.input.resize(got);
      c.input_used = 0;
      c.input_at += static_cast<int64_t>(got);
    }
    if (c.cache_end - c.last_rolling >= rolling_spacing && c.cache_end > stream_.start) {
      if (rolling_.size() == rolling_kept) rolling_.erase(rolling_.begin());
      rolling_.push_back(
          Checkpoint{c.cache_end, c.input_at - static_cast<int64_t>(c.input.size() - c.input_used),
                     c.crc, c.crc_known, std::make_shared<Inflater>(*c.decoder)});
      c.last_rolling = c.cache_end;
    }
    std::span<std::byte> room = std::span(c.cache).subspan(kept);
    room = room.first(static_cast<size_t>(std::min<int64_t>(std::ssize(room), end - c.cache_end)));
    size_t consumed = 0;
    size_t produced = 0;
    const Inflater::Result r =
        c.decoder->run(std::span(c.input).subspan(c.input_used), room, &consumed, &produced);
    c.input_used += consumed;
    // Only a zip member has a CRC of its own, and its decoding starts with the member.
    if (stream_.crc) c.crc = crc32_of(c.crc, room.first(produced));
    c.cache_end += static_cast<int64_t>(produced);
    if (r == Inflater::Result::error) return fail();
    if (c.cache_end < end && r == Inflater::Result::end) {
      if (stream_.wrapper != Inflater::Wrapper::gzip) return fail();  // shorter than stated
      c.decoder->next_member();
    }
    if (r == Inflater::Result::more && consumed == 0 && produced == 0 &&
        c.input_used < c.input.size() && !room.empty()) {
      return fail();  // no progress with input and room: never expected, never looped on
    }
    if (c.cache_end == end) {
      if (stream_.crc && c.crc_known && c.crc != *stream_.crc) {
        // Its last piece is never delivered: the copy comes up short.
        c.cache_end = std::max(c.cache_begin, c.cache_end - static_cast<int64_t>(produced) - 1);
        return fail();
      }
      // Nothing more to decode: the decoder and input go, the cache stays for a reader a
      // band behind, and of the checkpoints into the member only the last.
      c.decoder.reset();
      c.input = {};
      c.input_used = 0;
      if (rolling_.size() > 1) rolling_.erase(rolling_.begin(), rolling_.end() - 1);
    }
    return {};
  }

  Status fail() {
    failed_ = true;
    for (Cursor& c : cursors_) {
      c.decoder.reset();
      c.input = {};
      c.input_used = 0;
    }
    return {};
  }

  std::string name_;
  Stream stream_;
  std::vector<Cursor> cursors_;
  uint64_t clock_ = 0;
  bool failed_ = false;
  std::vector<Checkpoint> rolling_;
};

// A compressed member: one decoding, one reader at a time.
class InflatedSource final : public Source {
 public:
  InflatedSource(std::string name, MemberDecoder::Stream stream)
      : decoder_(std::make_unique<MemberDecoder>(std::move(name), std::move(stream))) {}
  const std::string& name() const override { return decoder_->name(); }
  Status size(int64_t* bytes) const override {
    *bytes = decoder_->stream().size;
    return {};
  }
  std::optional<FileId> id() const override { return decoder_->stream().file->id(); }
  Status read_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                 size_t* got) const override {
    std::lock_guard lock(mutex_);
    return decoder_->read(offset, pieces, got);
  }

 private:
  mutable std::mutex mutex_;
  std::unique_ptr<MemberDecoder> decoder_;
};

// The bytes of a tar: the file's own, or a gzip stream's decoded.
class TarStream {
 public:
  explicit TarStream(const ListProgress& progress) : progress_(progress) {}
  virtual ~TarStream() = default;
  virtual int64_t position() const = 0;
  // Reads out.size() bytes; *got short only at the end of the tar.
  virtual Status read(std::span<std::byte> out, size_t* got) = 0;
  // Passes `n` bytes; a raster's checkpoints go to `raster`.
  virtual Status skip(int64_t n, ArchiveMember* raster) = 0;
  // Whether `n` more bytes could follow: at most what is left of a plain tar's file, or
  // what deflate could decode from a compressed one.
  virtual bool could_hold(int64_t n) const = 0;
  // Where decoding may start again to reach position().
  virtual Checkpoint checkpoint() const = 0;
  // Reads to the end of the file (checking a gzip stream's CRC).
  virtual Status finish() = 0;

 protected:
  // Tells the listing's progress that the file is read up to `at`, a MiB at a time; a
  // cancelled listing fails.
  Status tell(int64_t at) {
    if (!progress_ || at - told_ < (int64_t{1} << 20)) return {};
    told_ = at;
    return progress_(at) ? Status() : Status::cancelled();
  }

 private:
  const ListProgress& progress_;
  int64_t told_ = 0;
};

class PlainTarStream final : public TarStream {
 public:
  PlainTarStream(const Source& file, const ListProgress& progress)
      : TarStream(progress), file_(file) {
    if (!file_.size(&size_).ok()) size_ = 0;  // reads then tell it is too short
  }
  int64_t position() const override { return position_; }
  Status read(std::span<std::byte> out, size_t* got) override {
    Status s = file_.read_at(position_, std::span(&out, 1), got);
    position_ += static_cast<int64_t>(*got);
    return s;
  }
  Status skip(int64_t n, ArchiveMember* /*raster*/) override {
    if (n > size_ - position_) return damaged(file_.name(), "truncated");
    position_ += n;
    return tell(position_);
  }
  Checkpoint checkpoint() const override {
    return Checkpoint{position_, position_, 0, false, nullptr};
  }
  bool could_hold(int64_t n) const override { return n <= size_ - position_; }
  Status finish() override { return {}; }

 private:
  const Source& file_;
  int64_t size_ = 0;
  int64_t position_ = 0;
};

// However long a raster, its checkpoints are bounded: past the most kept, every other one
// goes (the first, at its start, stays) and the rest are spaced twice as wide.
void thin_checkpoints(ArchiveMember* raster) {
  std::vector<Checkpoint>& list = raster->checkpoints;
  if (list.size() <= scan_checkpoints_kept) return;
  size_t kept = 1;
  for (size_t i = 2; i < list.size(); i += 2) list[kept++] = std::move(list[i]);
  list.resize(kept);
  raster->checkpoint_spacing *= 2;
}

class GzipTarStream final : public TarStream {
 public:
  GzipTarStream(const Source& file, const ListProgress& progress)
      : TarStream(progress), file_(file), inflater_(Inflater::Wrapper::gzip), out_(scan_chunk) {}

  int64_t position() const override { return out_position_ + static_cast<int64_t>(out_used_); }

  Status read(std::span<std::byte> out, size_t* got) override {
    *got = 0;
    while (*got < out.size()) {
      if (out_used_ == out_len_) {
        if (Status s = decode(); !s.ok()) return s;
        if (out_len_ == 0) break;
      }
      const size_t n = std::min(out.size() - *got, out_len_ - out_used_);
      std::memcpy(out.data() + *got, out_.data() + out_used_, n);
      out_used_ += n;
      *got += n;
    }
    return {};
  }

  Status skip(int64_t n, ArchiveMember* raster) override {
    while (n > 0) {
      if (out_used_ == out_len_) {
        if (Status s = decode(); !s.ok()) return s;
        if (out_len_ == 0) return damaged(file_.name(), "truncated");
        if (raster != nullptr &&
            before_position_ - raster->checkpoints.back().position >= raster->checkpoint_spacing) {
          raster->checkpoints.push_back(checkpoint());
          thin_checkpoints(raster);
        }
      }
      const auto step = static_cast<size_t>(std::min<int64_t>(n, out_len_ - out_used_));
      out_used_ += step;
      n -= static_cast<int64_t>(step);
    }
    return {};
  }

  Checkpoint checkpoint() const override {
    return Checkpoint{before_position_, before_input_, 0, false,
                      std::make_shared<Inflater>(before_state_)};
  }
  bool could_hold(int64_t n) const override {
    // Deflate decodes at most 1032 bytes from one.
    int64_t size = 0;
    if (!file_.size(&size).ok()) return true;
    return n / 1032 <= size;
  }

  Status finish() override {
    out_used_ = out_len_;
    while (!ended_) {
      if (Status s = decode(); !s.ok()) return s;
      out_used_ = out_len_;
    }
    return {};
  }

 private:
  // Decodes the next chunk into out_, remembering the state before it as a checkpoint.
  Status decode() {
    out_position_ += static_cast<int64_t>(out_len_);
    out_len_ = out_used_ = 0;
    before_state_ = inflater_;
    before_position_ = out_position_;
    before_input_ = input_at_ - static_cast<int64_t>(in_len_ - in_used_);
    while (!ended_ && out_len_ < out_.size()) {
      if (in_used_ == in_len_) {
        if (Status s = refill(); !s.ok()) return s;
        if (in_len_ == 0) return damaged(file_.name(), "truncated");
      }
      size_t consumed = 0;
      size_t produced = 0;
      const Inflater::Result r =
          inflater_.run(std::span(in_).subspan(in_used_, in_len_ - in_used_),
                        std::span(out_).subspan(out_len_), &consumed, &produced);
      in_used_ += consumed;
      out_len_ += produced;
      if (r == Inflater::Result::error) return damaged(file_.name(), inflater_.error());
      if (r == Inflater::Result::end) {
        // Another gzip member may follow; anything else after the last is ignored.
        if (in_len_ - in_used_ < 2) {
          if (Status s = refill(); !s.ok()) return s;
        }
        if (in_len_ - in_used_ >= 2 && in_[in_used_] == std::byte{0x1f} &&
            in_[in_used_ + 1] == std::byte{0x8b}) {
          inflater_.next_member();
        } else {
          ended_ = true;
        }
      }
    }
    return {};
  }

  // Moves what is left of the input to its front and reads more behind it.
  Status refill() {
    if (in_.size() < input_chunk) in_.resize(input_chunk);
    std::memmove(in_.data(), in_.data() + in_used_, in_len_ - in_used_);
    in_len_ -= in_used_;
    in_used_ = 0;
    std::span<std::byte> room = std::span(in_).subspan(in_len_);
    size_t got = 0;
    if (Status s = file_.read_at(input_at_, std::span(&room, 1), &got); !s.ok()) return s;
    input_at_ += static_cast<int64_t>(got);
    in_len_ += got;
    return tell(input_at_);
  }

  const Source& file_;
  Inflater inflater_;
  std::vector<std::byte> in_;
  size_t in_len_ = 0;
  size_t in_used_ = 0;
  int64_t input_at_ = 0;  // the file offset after the input held
  std::vector<std::byte> out_;
  size_t out_len_ = 0;
  size_t out_used_ = 0;
  int64_t out_position_ = 0;  // the decoded position of out_[0]
  bool ended_ = false;
  // The decoder before the chunk in out_, where checkpoints into that chunk start; copied
  // out only when one is taken.
  Inflater before_state_{Inflater::Wrapper::gzip};
  int64_t before_position_ = 0;
  int64_t before_input_ = 0;
};

// A size or number field of a tar header: octal, or base-256 with the high bit set.
std::optional<int64_t> tar_number(std::span<const std::byte> field) {
  if ((static_cast<unsigned>(field[0]) & 0x80U) != 0) {
    uint64_t value = static_cast<unsigned>(field[0]) & 0x7FU;
    for (size_t i = 1; i < field.size(); ++i) {
      if (value >> 55 != 0) return std::nullopt;
      value = value << 8 | static_cast<unsigned>(field[i]);
    }
    return static_cast<int64_t>(value);
  }
  int64_t value = 0;
  size_t i = 0;
  while (i < field.size() && field[i] == std::byte{' '}) ++i;
  bool digits = false;
  for (; i < field.size(); ++i) {
    const auto c = static_cast<char>(field[i]);
    if (c < '0' || c > '7') break;
    if (value >> 58 != 0) return std::nullopt;
    value = value * 8 + (c - '0');
    digits = true;
  }
  for (; i < field.size(); ++i) {
    const auto c = static_cast<char>(field[i]);
    if (c != ' ' && c != '\0') return std::nullopt;
  }
  if (!digits) return std::nullopt;
  return value;
}

std::string c_string(std::span<const std::byte> field) {
  const auto* begin = reinterpret_cast<const char*>(field.data());
  return {begin, strnlen(begin, field.size())};
}

bool tar_checksum_ok(std::span<const std::byte> block) {
  auto stored = tar_number(block.subspan(148, 8));
  if (!stored) return false;
  int64_t plain = 0;
  int64_t sign = 0;
  for (size_t i = 0; i < block.size(); ++i) {
    const auto byte = i >= 148 && i < 156 ? std::byte{' '} : block[i];
    plain += static_cast<unsigned char>(byte);
    sign += static_cast<signed char>(byte);
  }
  return *stored == plain || *stored == sign;
}

// What a pax extended header's records ("LEN KEY=VALUE\n") say of the next member.
struct PaxRecords {
  std::optional<std::string> path;
  std::optional<std::string> link;
  int64_t size = -1;  // none
  bool sparse = false;
};
void read_pax(std::string_view records, PaxRecords* pax) {
  while (!records.empty()) {
    size_t space = records.find(' ');
    auto length =
        space == std::string_view::npos ? std::nullopt : scan_c_int(records.substr(0, space));
    if (!length || *length <= static_cast<int32_t>(space) ||
        static_cast<size_t>(*length) > records.size()) {
      return;
    }
    std::string_view record = records.substr(space + 1, *length - space - 1);
    records.remove_prefix(*length);
    if (record.ends_with('\n')) record.remove_suffix(1);
    const size_t equals = record.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = record.substr(0, equals);
    const std::string_view value = record.substr(equals + 1);
    if (key == "path") pax->path = std::string(value);
    if (key == "linkpath") pax->link = std::string(value);
    // GNU's sparse formats, all of them: the member's data is not the file's bytes.
    if (key.starts_with("GNU.sparse.")) pax->sparse = true;
    if (key == "GNU.sparse.name") pax->path = std::string(value);
    if (key == "size") {
      int64_t n = 0;
      bool ok = !value.empty() && value.size() < 19;
      for (char c : value) ok = ok && c >= '0' && c <= '9';
      if (ok) {
        for (char c : value) n = n * 10 + (c - '0');
        pax->size = n;
      }
    }
  }
}

Status list_tar(const Source& file, TarStream& stream, std::vector<ArchiveMember>* members) {
  const std::string& path = file.name();
  std::optional<std::string> long_name;
  std::optional<std::string> long_link;
  PaxRecords pax;
  std::array<std::byte, tar_block> block{};
  while (true) {
    const int64_t at = stream.position();
    size_t got = 0;
    if (Status s = stream.read(block, &got); !s.ok()) return s;
    if (got == 0) break;  // the end without its zero blocks, as some writers leave it
    if (got < block.size()) return damaged(path, "truncated");
    if (std::all_of(block.begin(), block.end(), [](std::byte b) { return b == std::byte{0}; })) {
      break;
    }
    if (!tar_checksum_ok(block)) {
      return damaged(path,
                     format("not a tar, or damaged at byte %lld", static_cast<long long>(at)));
    }
    const std::span<const std::byte> header(block);
    const char type = static_cast<char>(block[156]);
    auto size = tar_number(header.subspan(124, 12));
    if (!size) return damaged(path, format("bad size at byte %lld", static_cast<long long>(at)));
    if (pax.size >= 0 && type != 'x' && type != 'g' && type != 'L' && type != 'K') {
      size = pax.size;
    }
    // A size no file could hold (base-256 allows 2^63) is damage, not a long read.
    if (*size > std::numeric_limits<int64_t>::max() - tar_block || !stream.could_hold(*size)) {
      return damaged(path, format("a member's size (%lld bytes) beyond what the archive holds, "
                                  "at byte %lld",
                                  static_cast<long long>(*size), static_cast<long long>(at)));
    }
    const int64_t padded = (*size + tar_block - 1) / tar_block * tar_block;
    if (type == 'L' || type == 'x') {
      if (*size > text_limit) return damaged(path, "a long name or extended header too long");
      std::string text(static_cast<size_t>(padded), '\0');
      auto bytes = std::as_writable_bytes(std::span(text));
      if (Status s = stream.read(bytes, &got); !s.ok()) return s;
      if (got < bytes.size()) return damaged(path, "truncated");
      text.resize(static_cast<size_t>(*size));
      if (type == 'L') {
        long_name = text.substr(0, text.find('\0'));
      } else {
        read_pax(text, &pax);
      }
      continue;
    }
    if (type == 'K') {
      if (*size > text_limit) return damaged(path, "a long link name too long");
      std::string text(static_cast<size_t>(padded), '\0');
      auto bytes = std::as_writable_bytes(std::span(text));
      if (Status s = stream.read(bytes, &got); !s.ok()) return s;
      if (got < bytes.size()) return damaged(path, "truncated");
      long_link = text.substr(0, std::min(text.find('\0'), static_cast<size_t>(*size)));
      continue;
    }
    std::string name;
    if (pax.path) {
      name = *pax.path;
    } else if (long_name) {
      name = *long_name;
    } else {
      name = c_string(header.first(100));
      const bool ustar = std::memcmp(block.data() + 257, "ustar\0", 6) == 0;
      if (std::string prefix = c_string(header.subspan(345, 155)); ustar && !prefix.empty()) {
        prefix += '/';
        name = prefix.append(name);
      }
    }
    std::string link = pax.link    ? *pax.link
                       : long_link ? *long_link
                                   : c_string(header.subspan(157, 100));
    const bool pax_sparse = pax.sparse;
    if (type != 'g') {
      long_name.reset();
      long_link.reset();
      pax = PaxRecords{};
    }
    if (type == '1' && part_of(name) != Part::other) {
      // A hard link is the member it names, which comes before it; the last of a name wins.
      if (members->size() >= 3 * max_archive_tiles) return damaged(path, "too many tiles");
      auto target = std::find_if(members->rbegin(), members->rend(),
                                 [&](const ArchiveMember& m) { return m.name == link; });
      ArchiveMember member;
      if (target != members->rend()) {
        member = *target;
      } else {
        member.link = link.empty() ? std::string("(no name)") : link;
      }
      member.name = name;
      member.part = part_of(name);
      members->push_back(std::move(member));
      continue;
    }
    // Symbolic links, devices, folders and fifos carry no data.
    if (type >= '1' && type <= '6') continue;
    const bool regular = type == '0' || type == '\0' || type == '7' || type == 'S';
    const Part part = regular ? part_of(name) : Part::other;
    if (part == Part::other) {
      if (Status s = stream.skip(padded, nullptr); !s.ok()) return s;
      continue;
    }
    if (members->size() >= 3 * max_archive_tiles) return damaged(path, "too many tiles");
    ArchiveMember& member = members->emplace_back();
    member.name = name;
    member.part = part;
    member.size = *size;
    member.data = stream.position();
    member.sparse = type == 'S' || pax_sparse;
    if (part != Part::raster && !member.sparse && *size <= text_limit) {
      std::string text(static_cast<size_t>(*size), '\0');
      auto bytes = std::as_writable_bytes(std::span(text));
      if (Status s = stream.read(bytes, &got); !s.ok()) return s;
      if (got < bytes.size()) return damaged(path, "truncated");
      member.text = std::move(text);
      if (Status s = stream.skip(padded - *size, nullptr); !s.ok()) return s;
      continue;
    }
    member.checkpoints.push_back(stream.checkpoint());
    if (Status s = stream.skip(padded, part == Part::raster ? &member : nullptr); !s.ok()) {
      return s;
    }
  }
  return stream.finish();
}

// The central directory of a zip, read in pieces.
class DirectoryReader {
 public:
  DirectoryReader(const Source& file, int64_t start, int64_t end)
      : file_(file), at_(start), end_(end) {}
  // The next `n` bytes of the directory; null when it ends first or cannot be read.
  const std::byte* take(size_t n, Status* status) {
    if (n > buffer_.size() - used_) {
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(used_));
      used_ = 0;
      const int64_t want = std::min<int64_t>(
          end_ - at_, std::max<int64_t>(int64_t{64} << 10, static_cast<int64_t>(n)));
      const size_t had = buffer_.size();
      buffer_.resize(had + static_cast<size_t>(std::max<int64_t>(want, 0)));
      bool whole = false;
      *status = read_exactly(file_, at_, std::span(buffer_).subspan(had), &whole);
      if (!status->ok() || !whole) return nullptr;
      at_ += want;
      if (n > buffer_.size()) return nullptr;
    }
    const std::byte* p = buffer_.data() + used_;
    used_ += n;
    return p;
  }

 private:
  const Source& file_;
  int64_t at_;
  int64_t end_;
  std::vector<std::byte> buffer_;
  size_t used_ = 0;
};

Status list_zip(const Source& file, std::vector<ArchiveMember>* members) {
  const std::string& path = file.name();
  int64_t size = 0;
  if (Status s = file.size(&size); !s.ok()) return s;
  const int64_t tail_start = std::max<int64_t>(0, size - (22 + 0xFFFF));
  std::vector<std::byte> tail(static_cast<size_t>(size - tail_start));
  bool whole = false;
  if (Status s = read_exactly(file, tail_start, tail, &whole); !s.ok()) return s;
  if (!whole) return damaged(path, "truncated");
  // The end record: its signature, the last one whose comment ends the file or before.
  int64_t end_record = -1;
  for (int64_t i = std::ssize(tail) - 22; i >= 0; --i) {
    const std::byte* p = tail.data() + i;
    if (le32(p) == 0x06054b50 && i + 22 + le16(p + 20) <= std::ssize(tail)) {
      end_record = i;
      break;
    }
  }
  if (end_record < 0) return damaged(path, "truncated: no zip directory at its end");
  const std::byte* eocd = tail.data() + end_record;
  uint64_t entries = le16(eocd + 10);
  uint64_t directory_size = le32(eocd + 12);
  uint64_t directory_start = le32(eocd + 16);
  int64_t directory_end = tail_start + end_record;
  if (entries == 0xFFFF || directory_size == 0xFFFFFFFF || directory_start == 0xFFFFFFFF) {
    // zip64: a locator just before the end record points to the larger one.
    std::array<std::byte, 56> record{};
    if (end_record < 20 || le32(eocd - 20) != 0x07064b50) {
      return damaged(path, "zip64 locator missing");
    }
    const uint64_t at = le64(eocd - 20 + 8);
    if (at > static_cast<uint64_t>(size - 56)) return damaged(path, "bad zip64 directory");
    if (Status s = read_exactly(file, static_cast<int64_t>(at), record, &whole); !s.ok()) return s;
    if (!whole || le32(record.data()) != 0x06064b50) return damaged(path, "bad zip64 directory");
    entries = le64(record.data() + 32);
    directory_size = le64(record.data() + 40);
    directory_start = le64(record.data() + 48);
    directory_end = static_cast<int64_t>(at);
  }
  if (directory_start > static_cast<uint64_t>(directory_end) ||
      directory_size > static_cast<uint64_t>(directory_end) - directory_start) {
    return damaged(path, "bad zip directory");
  }
  DirectoryReader reader(file, static_cast<int64_t>(directory_start),
                         static_cast<int64_t>(directory_start + directory_size));
  Status status;
  for (uint64_t i = 0; i < entries; ++i) {
    const std::byte* p = reader.take(46, &status);
    if (p == nullptr || le32(p) != 0x02014b50) {
      return status.ok() ? damaged(path, "bad zip directory entry") : status;
    }
    const uint32_t flags = le16(p + 8);
    const uint32_t method = le16(p + 10);
    const uint32_t crc = le32(p + 16);
    uint64_t packed = le32(p + 20);
    uint64_t unpacked = le32(p + 24);
    const uint32_t name_length = le16(p + 28);
    const uint32_t extra_length = le16(p + 30);
    const uint32_t comment_length = le16(p + 32);
    uint64_t local = le32(p + 42);
    const std::byte* q = reader.take(name_length + extra_length + comment_length, &status);
    if (q == nullptr) return status.ok() ? damaged(path, "bad zip directory entry") : status;
    std::string name(reinterpret_cast<const char*>(q), name_length);
    const Part part = part_of(name);
    if (part == Part::other) continue;
    // zip64 sizes and offset, each there only where the entry's own field is full.
    for (const std::byte* x = q + name_length; x + 4 <= q + name_length + extra_length;) {
      const uint32_t id = le16(x);
      const uint32_t length = le16(x + 2);
      const std::byte* value = x + 4;
      const std::byte* value_end = std::min(value + length, q + name_length + extra_length);
      if (id == 0x0001) {
        for (uint64_t* field : {&unpacked, &packed, &local}) {
          if (*field != 0xFFFFFFFF) continue;
          if (value + 8 > value_end) return damaged(path, "bad zip64 field");
          *field = le64(value);
          value += 8;
        }
      }
      x += 4 + length;
    }
    if (members->size() >= 3 * max_archive_tiles) return damaged(path, "too many tiles");
    ArchiveMember& member = members->emplace_back();
    member.name = std::move(name);
    member.part = part;
    member.method = method;
    member.encrypted = (flags & 1U) != 0;
    member.crc = crc;
    const uint64_t limit = uint64_t{1} << 62;
    if (unpacked >= limit || packed >= limit || local >= static_cast<uint64_t>(size)) {
      return damaged(path, "bad zip directory entry for " + member.name);
    }
    member.size = static_cast<int64_t>(unpacked);
    member.packed = static_cast<int64_t>(packed);
    std::array<std::byte, 30> header{};
    if (Status s = read_exactly(file, static_cast<int64_t>(local), header, &whole); !s.ok()) {
      return s;
    }
    if (!whole || le32(header.data()) != 0x04034b50) {
      return damaged(path, "bad local header for " + member.name);
    }
    member.data =
        static_cast<int64_t>(local) + 30 + le16(header.data() + 26) + le16(header.data() + 28);
  }
  return {};
}

// Reads a member through once and compares its CRC-32 with the one the archive states.
Status check_crc(const Source& member, int64_t size, uint32_t expected) {
  std::vector<std::byte> buffer(std::min<int64_t>(size, int64_t{1} << 20));
  uint32_t crc = 0;
  int64_t at = 0;
  while (at < size) {
    std::span<std::byte> piece = std::span(buffer).first(
        static_cast<size_t>(std::min<int64_t>(size - at, std::ssize(buffer))));
    size_t got = 0;
    if (Status s = member.read_at(at, std::span(&piece, 1), &got); !s.ok()) return s;
    if (got == 0) break;  // a deflated member that fails its CRC stops short of its end
    crc = crc32_of(crc, piece.first(got));
    at += static_cast<int64_t>(got);
  }
  if (at == size && crc == expected) return {};
  return damaged(member.name(),
                 "damaged: its bytes fail the archive's CRC check, so none of it is used");
}

}  // namespace

ArchiveKind archive_kind(const Source& file) {
  std::array<std::byte, tar_block> head{};
  size_t got = 0;
  std::span<std::byte> bytes(head);
  if (!file.read_at(0, std::span(&bytes, 1), &got).ok()) return ArchiveKind::none;
  // gzip's magic and its one method, deflate.
  if (got >= 3 && head[0] == std::byte{0x1f} && head[1] == std::byte{0x8b} &&
      head[2] == std::byte{8}) {
    return ArchiveKind::gzip;
  }
  if (got >= 4 && (le32(head.data()) == 0x04034b50 || le32(head.data()) == 0x06054b50)) {
    return ArchiveKind::zip;
  }
  if (got == head.size() && std::memcmp(head.data() + 257, "ustar", 5) == 0 &&
      tar_checksum_ok(head)) {
    return ArchiveKind::tar;
  }
  return ArchiveKind::none;
}

Archive::~Archive() = default;

const std::string& Archive::name() const { return file_->name(); }

Status Archive::list(std::shared_ptr<const Source> file, std::unique_ptr<Archive>* archive,
                     const ListProgress& progress) {
  std::unique_ptr<Archive> a(new Archive());
  a->version_ = file->version();
  a->kind_ = archive_kind(*file);
  a->file_ = std::move(file);
  const Source& f = *a->file_;
  Status s;
  switch (a->kind_) {
    case ArchiveKind::none:
      return damaged(f.name(), "not an archive");
    case ArchiveKind::zip:
      s = list_zip(f, &a->members_);
      break;
    case ArchiveKind::tar: {
      PlainTarStream stream(f, progress);
      s = list_tar(f, stream, &a->members_);
      break;
    }
    case ArchiveKind::gzip: {
      GzipTarStream stream(f, progress);
      s = list_tar(f, stream, &a->members_);
      break;
    }
  }
  if (!s.ok()) return s;
  for (const ArchiveMember& member : a->members_) {
    if (member.part != Part::header) continue;
    std::string tile = f.name() + ":" + member.name.substr(0, member.name.size() - 4);
    const bool known = std::any_of(a->tiles_.begin(), a->tiles_.end(), [&](const std::string& t) {
      return equal_ignoring_case(t, tile);
    });
    if (!known) a->tiles_.push_back(std::move(tile));
  }
  if (a->tiles_.empty()) return damaged(f.name(), "holds no tile header (NAME.HDR)");
  if (a->tiles_.size() > max_archive_tiles) return damaged(f.name(), "too many tiles");
  *archive = std::move(a);
  return {};
}

Status Archive::open(const std::string& path, std::unique_ptr<Source>* source) {
  const std::string& archive = name();
  if (path.size() > archive.size() && path.compare(0, archive.size(), archive) == 0 &&
      path[archive.size()] == ':') {
    const std::string_view wanted = std::string_view(path).substr(archive.size() + 1);
    // A name held twice (a tar updated with -r or -u, a zip written to twice) is its last
    // member, as extracting the archive leaves it.
    for (auto member = members_.rbegin(); member != members_.rend(); ++member) {
      if (equal_ignoring_case(member->name, wanted)) {
        return open_member(*member, archive + ":" + member->name, source);
      }
    }
  }
  return Status::error(StatusKind::not_found, Side::input, path, "not in the archive");
}

Status Archive::open_member(const ArchiveMember& member, const std::string& path,
                            std::unique_ptr<Source>* source) const {
  if (member.text) {
    *source = std::make_unique<TextSource>(path, *member.text, file_->id());
    return {};
  }
  if (member.encrypted) return damaged(path, "encrypted: not read");
  if (member.sparse) return damaged(path, "sparse member, not read");
  if (!member.link.empty()) {
    return damaged(path,
                   "a hard link to " + member.link + ", which the archive does not hold before it");
  }
  if (member.part != Part::raster && member.size > text_limit) {
    return damaged(path, format("%lld bytes: too long for a tile's header or .prj",
                                static_cast<long long>(member.size)));
  }
  std::unique_ptr<Source> data;
  if (kind_ == ArchiveKind::tar || (kind_ == ArchiveKind::zip && member.method == 0)) {
    if (member.packed >= 0 && member.packed != member.size) {
      return damaged(path, "its stored size disagrees with its data");
    }
    data = std::make_unique<SliceSource>(file_, path, member.data, member.size, version_);
  } else if (kind_ == ArchiveKind::zip && member.method != 8) {
    return damaged(path, format("compression method %u: not read", member.method));
  } else {
    MemberDecoder::Stream stream;
    stream.file = file_;
    stream.listed = version_;
    stream.size = member.size;
    if (kind_ == ArchiveKind::zip) {
      stream.wrapper = Inflater::Wrapper::raw;
      stream.input_end = member.data + member.packed;
      stream.checkpoints.push_back(Checkpoint{0, member.data, 0, true, nullptr});
      stream.crc = member.crc;
    } else {
      stream.wrapper = Inflater::Wrapper::gzip;
      if (Status s = file_->size(&stream.input_end); !s.ok()) return s;
      stream.checkpoints = member.checkpoints;
      stream.start = member.data;
    }
    data = std::make_unique<InflatedSource>(path, std::move(stream));
  }
  // A zip member's CRC is checked before any of its bytes are used: a damaged one is not
  // used at all, whatever part of it a run would read.
  if (member.crc) {
    if (Status s = check_crc(*data, member.size, *member.crc); !s.ok()) return s;
  }
  if (member.part == Part::raster) {
    *source = std::move(data);
    return {};
  }
  std::string text;
  Status why;
  if (!read_whole(*data, text_limit, &text, &why)) return why;
  *source = std::make_unique<TextSource>(path, std::move(text), file_->id());
  return {};
}

}  // namespace demstitch
