// The tar reader: a plain tar read in place, or a .tar.gz decoded once while it is listed
// (keeping the text of its headers and .prj files, and checkpoints into its rasters).
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "io/archive_member.hpp"
#include "io/inflate.hpp"

namespace demstitch {
namespace {

constexpr size_t input_chunk = size_t{128} << 10;    // compressed bytes read at a time
constexpr size_t scan_chunk = size_t{1} << 20;       // bytes decoded at a time while listing
constexpr int64_t scan_spacing = int64_t{32} << 20;  // checkpoints into a raster, at first
constexpr size_t scan_checkpoints_kept = 16;         // at most, a raster, spaced wider as it grows
// Compressed bytes the decoder gets at a time while it looks for a block's start, and how
// far it looks before it decodes on at full speed for a while.
constexpr size_t search_step = 8;
constexpr int64_t search_approach = int64_t{64} << 10;  // decoded bytes before it, at most
constexpr int64_t search_limit = int64_t{256} << 10;
constexpr int64_t search_pause = int64_t{4} << 20;

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
  // How the members of this tar are read.
  virtual Storage storage() const = 0;

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
  Storage storage() const override { return Storage::stored; }
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
  // With a builder, the builder takes the stream's access points and pieces, and the members'
  // checkpoints are then its index's. Where the decoder cannot tell a block's start, zlib
  // decodes the stream a block at a time instead.
  GzipTarStream(const Source& file, const ListProgress& progress, StreamIndexBuilder* builder)
      : TarStream(progress),
        file_(file),
        inflater_(Inflater::Wrapper::gzip),
        out_(scan_chunk),
        builder_(builder) {
    if (builder_ != nullptr && !Inflater::finds_block_starts()) {
      blocks_ = std::make_unique<BlockInflater>();
    }
  }

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
    if (builder_ != nullptr) return Checkpoint{before_position_, before_input_, 0, false, nullptr};
    return Checkpoint{before_position_, before_input_, 0, false,
                      std::make_shared<Inflater>(before_state_)};
  }
  Storage storage() const override { return Storage::in_gzip; }
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
    if (builder_ == nullptr) before_state_ = inflater_;
    before_position_ = out_position_;
    before_input_ = input_at_ - static_cast<int64_t>(in_len_ - in_used_);
    while (!ended_ && out_len_ < out_.size()) {
      if (in_used_ == in_len_) {
        if (Status s = refill(); !s.ok()) return s;
        if (in_len_ == 0) return damaged(file_.name(), "truncated");
      }
      size_t consumed = 0;
      size_t produced = 0;
      std::span<const std::byte> in = std::span(in_).subspan(in_used_, in_len_ - in_used_);
      const int64_t taken = input_at_ - static_cast<int64_t>(in.size());  // file offset of in
      // Looking for a block's start, the decoder gets a few bytes at a time, so that a run
      // stops in the next block's header.
      const bool searching =
          builder_ != nullptr && !blocks_ && builder_->wants_point() && taken >= search_resumes_at_;
      if (searching) in = in.first(std::min(in.size(), search_step));
      std::span<std::byte> out = std::span(out_).subspan(out_len_);
      // Before the search, the decoder stops near where it begins.
      if (builder_ != nullptr && !blocks_ && !searching) {
        out = out.first(static_cast<size_t>(std::min<int64_t>(
            std::ssize(out), std::max(builder_->before_point(), search_approach))));
      }
      const Inflater::Result r = blocks_ ? blocks_->run(in, out, &consumed, &produced)
                                         : inflater_.run(in, out, &consumed, &produced);
      if (blocks_ && consumed > 0) last_byte_ = in[consumed - 1];
      in_used_ += consumed;
      out_len_ += produced;
      if (r == Inflater::Result::error) {
        return damaged(file_.name(), blocks_ ? blocks_->error() : inflater_.error());
      }
      if (builder_ != nullptr) builder_->decoded(out.first(produced));
      if (blocks_) {
        if (out_position_ + static_cast<int64_t>(out_len_) == 0 && blocks_->at_first_block()) {
          builder_->start_at(taken + static_cast<int64_t>(consumed));
        }
        int bits = 0;
        if (r == Inflater::Result::more && blocks_->at_block_start(&bits) &&
            builder_->wants_point()) {
          builder_->add_point(
              taken + static_cast<int64_t>(consumed), bits,
              static_cast<uint8_t>(static_cast<unsigned>(last_byte_) >> (8 - bits)));
        }
      } else if (searching && r == Inflater::Result::more) {
        const int64_t end = taken + static_cast<int64_t>(consumed);
        if (const auto start = inflater_.block_start()) {
          builder_->add_point(end - static_cast<int64_t>(start->bytes_back), start->bits,
                              static_cast<uint8_t>(start->value));
          search_began_ = -1;
        } else if (search_began_ < 0) {
          search_began_ = taken;
        } else if (end - search_began_ > search_limit) {
          // Headers too short to stop in (fixed or stored blocks): look again further on.
          search_resumes_at_ = end + search_pause;
          search_began_ = -1;
        }
      }
      if (r == Inflater::Result::end) {
        // Another gzip member may follow; anything else after the last is ignored.
        if (in_len_ - in_used_ < 2) {
          if (Status s = refill(); !s.ok()) return s;
        }
        if (in_len_ - in_used_ >= 2 && in_[in_used_] == std::byte{0x1f} &&
            in_[in_used_ + 1] == std::byte{0x8b}) {
          if (blocks_) {
            blocks_->next_member();
          } else {
            inflater_.next_member();
          }
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
  StreamIndexBuilder* builder_;
  std::unique_ptr<BlockInflater> blocks_;  // with a builder, where the Inflater finds no blocks
  std::byte last_byte_{};                  // the last compressed byte taken, with blocks_
  int64_t search_began_ = -1;              // where the search for a block's start began
  int64_t search_resumes_at_ = 0;          // a search given up waits for this file offset
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
    member.storage = stream.storage();
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
    member.checkpoint_spacing = scan_spacing;
    if (Status s = stream.skip(padded, part == Part::raster ? &member : nullptr); !s.ok()) {
      return s;
    }
  }
  return stream.finish();
}

}  // namespace

bool bids_gzip(std::span<const std::byte> head) {
  // gzip's magic and its one method, deflate.
  return head.size() >= 3 && head[0] == std::byte{0x1f} && head[1] == std::byte{0x8b} &&
         head[2] == std::byte{8};
}

bool bids_tar(std::span<const std::byte> head) {
  return head.size() == static_cast<size_t>(tar_block) &&
         std::memcmp(head.data() + 257, "ustar", 5) == 0 && tar_checksum_ok(head);
}

Status list_plain_tar(const Source& file, const ListProgress& progress,
                      std::vector<ArchiveMember>* members) {
  PlainTarStream stream(file, progress);
  return list_tar(file, stream, members);
}

Status list_gzipped_tar(const Source& file, const ListProgress& progress,
                        std::vector<ArchiveMember>* members) {
  GzipTarStream stream(file, progress, nullptr);
  return list_tar(file, stream, members);
}

Status list_gzipped_tar_indexing(const Source& file, const ListProgress& progress,
                                 std::vector<ArchiveMember>* members, StreamIndexBuilder* builder) {
  GzipTarStream stream(file, progress, builder);
  return list_tar(file, stream, members);
}

}  // namespace demstitch
