// The zip reader: members found by the central directory (zip64 included), read in place.
#include <algorithm>
#include <array>
#include <vector>

#include "io/archive_member.hpp"

namespace demstitch {
namespace {

uint32_t le16(const std::byte* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}
uint32_t le32(const std::byte* p) { return le16(p) | le16(p + 2) << 16; }
uint64_t le64(const std::byte* p) { return le32(p) | uint64_t{le32(p + 4)} << 32; }

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

}  // namespace

Status list_zip(const Source& file, const ListProgress& /*progress*/,
                std::vector<ArchiveMember>* members) {
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
    member.storage = method == 0   ? Storage::stored
                     : method == 8 ? Storage::deflated
                                   : Storage::unsupported;
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

bool bids_zip(std::span<const std::byte> head) {
  return head.size() >= 4 && (le32(head.data()) == 0x04034b50 || le32(head.data()) == 0x06054b50);
}

}  // namespace demstitch
