#include "io/member_decoder.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <span>
#include <utility>

namespace demstitch {
namespace {

constexpr size_t input_chunk = size_t{64} << 10;       // compressed bytes read at a time
constexpr int64_t rolling_spacing = int64_t{2} << 20;  // checkpoints taken while a member is read
constexpr size_t rolling_kept = 4;
constexpr size_t cache_bytes = size_t{128} << 10;  // decoded bytes a member keeps behind it
// With an index a piece is delivered only once all of it is checked, so half the cache,
// what a cursor keeps when it makes room, must hold one.
static_assert(cache_bytes / 2 >= static_cast<size_t>(index_piece));

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
  MemberDecoder(std::string name, MemberStream stream)
      : name_(std::move(name)), stream_(std::move(stream)) {
    cursors_.reserve(cursors_kept);  // cursors are held by address while they decode
  }

  const std::string& name() const { return name_; }
  const MemberStream& stream() const { return stream_; }

  Status read(int64_t offset, std::span<const std::span<std::byte>> pieces, size_t* got) {
    *got = 0;
    if (offset < 0 || offset >= stream_.size) return {};
    const auto want =
        static_cast<size_t>(std::min<uint64_t>(total_size(pieces), stream_.size - offset));
    while (*got < want) {
      const int64_t at = stream_.start + offset + static_cast<int64_t>(*got);
      Cursor* c = cursor_for(at);
      if (c == nullptr) break;
      if (at >= c->cache_begin && at < c->verified_end) {
        const auto n = static_cast<size_t>(std::min<int64_t>(c->verified_end - at, want - *got));
        const auto from = static_cast<size_t>(at - c->cache_begin);
        *got += copy_into(pieces, *got, std::span(c->cache).subspan(from, n));
        // The member's last byte delivered, its decoding done: the cache goes too (a reader
        // still behind decodes its bytes again).
        const int64_t member_end = stream_.start + stream_.size;
        if (!c->decoder && at + static_cast<int64_t>(n) == member_end &&
            c->verified_end >= member_end) {
          c->cache = std::vector<std::byte>();  // (assigning {} would keep its room)
          c->cache_begin = c->cache_end = c->verified_end = member_end;
        }
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
    int64_t verified_end = 0;  // those up to here are checked and may be delivered
    StreamIndex::Piece piece;  // with an index: the piece being decoded
    uint32_t piece_crc = 0;
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
      if (at >= c.cache_begin && at < c.verified_end) {
        c.used = clock_;
        return &c;
      }
    }
    if (failed_) return nullptr;
    const int64_t best = stream_.index ? stream_.index->points[entry_point(at)].position
                                       : best_checkpoint(at).position;
    Cursor* target = nullptr;
    for (Cursor& c : cursors_) {
      if (c.decoder && c.verified_end <= at &&
          (target == nullptr || c.verified_end > target->verified_end)) {
        target = &c;
      }
    }
    if (target != nullptr && target->verified_end >= best) {
      target->used = clock_;
      return target;
    }
    if (target == nullptr && cursors_.size() < cursors_kept) target = &cursors_.emplace_back();
    if (target == nullptr) {
      target = &*std::min_element(cursors_.begin(), cursors_.end(),
                                  [](const Cursor& a, const Cursor& b) { return a.used < b.used; });
    }
    if (stream_.index) {
      enter(*target, at);
    } else {
      restart(*target, best_checkpoint(at));
    }
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
    c.cache_begin = c.cache_end = c.verified_end = from.position;
    c.last_rolling = from.position;
  }

  // The index's last access point at or before `at` that has not failed to serve.
  size_t entry_point(int64_t at) const {
    const StreamIndex& index = *stream_.index;
    size_t p = index.entry_before(at, index.points.size());
    while (std::find(broken_.begin(), broken_.end(), p) != broken_.end()) {
      p = index.entry_before(at, p);
    }
    return p;
  }

  // Starts a cursor at the index's last access point before `at` whose window serves (the
  // stream's start always does).
  void enter(Cursor& c, int64_t at) {
    const StreamIndex& index = *stream_.index;
    size_t p = entry_point(at);
    while (!index.enter(p, stream_.wrapper, &c.decoder)) {
      index.forget();  // a damaged window: the next run makes the index again
      broken_.push_back(p);
      p = entry_point(at);
    }
    const AccessPoint& point = index.points[p];
    c.input_at = point.input;
    c.input.clear();
    c.input_used = 0;
    c.crc_known = false;
    c.cache_begin = c.cache_end = c.verified_end = point.position;
    c.piece = index.piece_at(point.position);
    c.piece_crc = 0;
  }

  // Decodes the next piece into a cursor's cache; fails only when the file cannot be read.
  // A member that is damaged, ends early or fails its check sets failed_: reads then come
  // up short.
  Status decode_more(Cursor& c) {
    // With an index a cursor decodes piece by piece, to the end of the piece that holds the
    // member's last byte; without one, to the member's end.
    const int64_t member_end = stream_.start + stream_.size;
    const int64_t end = stream_.index ? c.piece.end : member_end;
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
    if (!stream_.index && c.cache_end - c.last_rolling >= rolling_spacing &&
        c.cache_end > stream_.start) {
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
    if (!stream_.index) c.verified_end = c.cache_end;
    if (r == Inflater::Result::error) return fail();
    if (c.cache_end < end && r == Inflater::Result::end) {
      if (stream_.wrapper != Inflater::Wrapper::gzip) return fail();  // shorter than stated
      c.decoder->next_member();
    }
    if (r == Inflater::Result::more && consumed == 0 && produced == 0 &&
        c.input_used < c.input.size() && !room.empty()) {
      return fail();  // no progress with input and room: never expected, never looped on
    }
    if (stream_.index) {
      c.piece_crc = crc32_of(c.piece_crc, room.first(produced));
      if (c.cache_end < end) return {};
      if (c.piece_crc != c.piece.crc) {
        // Not the stream the index was made from: nothing of this piece is delivered.
        stream_.index->forget();
        return fail();
      }
      c.verified_end = c.cache_end;
      if (c.verified_end < member_end) {
        if (c.verified_end >= stream_.index->decoded_size) return fail();
        c.piece = stream_.index->piece_at(c.verified_end);
        c.piece_crc = 0;
        return {};
      }
    }
    if (c.cache_end == end) {
      if (stream_.crc && c.crc_known && c.crc != *stream_.crc) {
        // Its last piece is never delivered: the copy comes up short.
        c.cache_end = std::max(c.cache_begin, c.cache_end - static_cast<int64_t>(produced) - 1);
        c.verified_end = c.cache_end;
        return fail();
      }
      // Nothing more to decode: the decoder and input go, the cache stays until the
      // member's last byte is delivered, and of the checkpoints into the member only the
      // last.
      c.decoder.reset();
      c.input = std::vector<std::byte>();
      c.input_used = 0;
      if (rolling_.size() > 1) rolling_.erase(rolling_.begin(), rolling_.end() - 1);
    }
    return {};
  }

  Status fail() {
    failed_ = true;
    for (Cursor& c : cursors_) {
      c.decoder.reset();
      c.input = std::vector<std::byte>();
      c.input_used = 0;
    }
    return {};
  }

  std::string name_;
  MemberStream stream_;
  std::vector<Cursor> cursors_;
  uint64_t clock_ = 0;
  bool failed_ = false;
  std::vector<Checkpoint> rolling_;
  std::vector<size_t> broken_;  // access points whose windows failed their checks
};

// A compressed member: one decoding, one reader at a time.
class InflatedSource final : public Source {
 public:
  InflatedSource(std::string name, MemberStream stream)
      : decoder_(std::make_unique<MemberDecoder>(std::move(name), std::move(stream))) {}
  const std::string& name() const override { return decoder_->name(); }
  Status size(int64_t* bytes) const override {
    *bytes = decoder_->stream().size;
    return {};
  }
  std::optional<FileId> id() const override { return decoder_->stream().file->id(); }
  bool decoded() const override { return true; }
  Status read_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                 size_t* got) const override {
    std::lock_guard lock(mutex_);
    return decoder_->read(offset, pieces, got);
  }

 private:
  mutable std::mutex mutex_;
  std::unique_ptr<MemberDecoder> decoder_;
};

}  // namespace

std::unique_ptr<Source> text_member(std::string name, std::string text, std::optional<FileId> id) {
  return std::make_unique<TextSource>(std::move(name), std::move(text), id);
}

std::unique_ptr<Source> stored_member(std::shared_ptr<const Source> file, std::string name,
                                      int64_t start, int64_t size,
                                      std::optional<FileVersion> listed) {
  return std::make_unique<SliceSource>(std::move(file), std::move(name), start, size, listed);
}

std::unique_ptr<Source> inflated_member(std::string name, MemberStream stream) {
  return std::make_unique<InflatedSource>(std::move(name), std::move(stream));
}

}  // namespace demstitch
