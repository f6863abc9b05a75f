// An archive's index in the user's cache: the key, the file's bytes, and the cache folder.
//
// The file: a 32-byte head (its mark and version), the packed windows, the rest (the key,
// the members, the access points, the piece CRCs), and a 32-byte tail that says where the
// rest lies, its size and its CRC. Numbers are little-endian.
#include "io/archive_index.hpp"

#include <array>
#include <cstring>
#include <mutex>
#include <string_view>

#include "base/strings.hpp"
#include "io/filesystem.hpp"
#include "io/platform.hpp"

namespace demstitch {
namespace {

constexpr std::string_view index_mark = "demstitch index\n";  // 16 bytes
constexpr int64_t head_size = 32;
constexpr int64_t tail_size = 32;
constexpr int64_t key_block = int64_t{16} << 10;
constexpr int64_t rest_limit = int64_t{64} << 20;
constexpr uint32_t members_limit = 3 * max_archive_tiles;

class Writer {
 public:
  explicit Writer(std::string* out) : out_(out) {}
  void u8(uint8_t v) { out_->push_back(static_cast<char>(v)); }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void i64(int64_t v) { u64(static_cast<uint64_t>(v)); }
  void text(std::string_view s) {
    u32(static_cast<uint32_t>(s.size()));
    out_->append(s);
  }

 private:
  std::string* out_;
};

// Reads what a Writer wrote; once anything is missing every read fails.
class Reader {
 public:
  explicit Reader(std::span<const std::byte> in) : in_(in) {}
  bool ok() const { return ok_; }
  bool done() const { return ok_ && at_ == in_.size(); }
  uint8_t u8() {
    if (!ok_ || at_ >= in_.size()) {
      ok_ = false;
      return 0;
    }
    return static_cast<uint8_t>(in_[at_++]);
  }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{u8()} << (8 * i);
    return v;
  }
  uint64_t u64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t{u8()} << (8 * i);
    return v;
  }
  int64_t i64() { return static_cast<int64_t>(u64()); }
  std::string text(size_t limit) {
    const uint32_t n = u32();
    if (!ok_ || n > limit || n > in_.size() - at_) {
      ok_ = false;
      return {};
    }
    std::string s(reinterpret_cast<const char*>(in_.data() + at_), n);
    at_ += n;
    return s;
  }
  // A count of records at least `each` bytes long: no more than the bytes left could hold.
  uint32_t count(size_t each, uint32_t limit) {
    const uint32_t n = u32();
    if (!ok_ || n > limit || n > (in_.size() - at_) / each) ok_ = false;
    return ok_ ? n : 0;
  }

 private:
  std::span<const std::byte> in_;
  size_t at_ = 0;
  bool ok_ = true;
};

void write_key(Writer& w, const IndexKey& key) {
  w.u64(key.id.device);
  w.u64(key.id.number);
  w.i64(key.version.size);
  w.i64(key.version.modified_ns);
  w.i64(key.version.changed_ns);
  w.i64(key.size);
  w.u32(key.head_crc);
  w.u32(key.tail_crc);
}

IndexKey read_key(Reader& r) {
  IndexKey key;
  key.id.device = r.u64();
  key.id.number = r.u64();
  key.version.size = r.i64();
  key.version.modified_ns = r.i64();
  key.version.changed_ns = r.i64();
  key.size = r.i64();
  key.head_crc = r.u32();
  key.tail_crc = r.u32();
  return key;
}

Status read_all(const Source& file, int64_t offset, std::span<std::byte> out) {
  bool whole = false;
  if (Status s = read_exactly(file, offset, out, &whole); !s.ok()) return s;
  return whole ? Status() : damaged(file.name(), "truncated");
}

}  // namespace

bool index_key(const Source& file, IndexKey* key) {
  const auto id = file.id();
  const auto version = file.version();
  if (!id || !version) return false;
  key->id = *id;
  key->version = *version;
  if (!file.size(&key->size).ok()) return false;
  const int64_t n = std::min(key->size, key_block);
  std::vector<std::byte> block(static_cast<size_t>(n));
  if (!read_all(file, 0, block).ok()) return false;
  key->head_crc = crc32_of(0, block);
  if (!read_all(file, key->size - n, block).ok()) return false;
  key->tail_crc = crc32_of(0, block);
  return true;
}

Status encode_index(const ArchiveIndex& index, std::string* bytes) {
  const StreamIndex& stream = index.stream;
  int64_t windows_size = 0;
  if (stream.windows) {
    if (Status s = stream.windows->size(&windows_size); !s.ok()) return s;
  }
  bytes->assign(static_cast<size_t>(head_size), '\0');
  std::memcpy(bytes->data(), index_mark.data(), index_mark.size());
  std::string version;
  Writer(&version).u32(index_version);
  bytes->replace(index_mark.size(), 4, version);
  bytes->resize(static_cast<size_t>(head_size + windows_size));
  if (windows_size > 0) {
    const auto windows = std::as_writable_bytes(std::span(*bytes)).subspan(head_size);
    if (Status s = read_all(*stream.windows, 0, windows); !s.ok()) return s;
  }
  std::string rest;
  Writer w(&rest);
  write_key(w, index.key);
  w.i64(stream.decoded_size);
  w.u8(stream.raw_start ? 1 : 0);
  w.u32(static_cast<uint32_t>(index.members.size()));
  for (const ArchiveMember& m : index.members) {
    w.text(m.name);
    w.u8(static_cast<uint8_t>(m.part));
    w.i64(m.size);
    w.i64(m.data);
    w.u8(m.sparse ? 1 : 0);
    w.text(m.link);
    w.u8(m.text ? 1 : 0);
    if (m.text) w.text(*m.text);
  }
  w.u32(static_cast<uint32_t>(stream.points.size()));
  for (const AccessPoint& p : stream.points) {
    w.i64(p.position);
    w.i64(p.input);
    w.u8(p.bits);
    w.u8(p.value);
    w.u32(p.first_piece);
    w.i64(p.window_at);
    w.u32(p.window_packed);
    w.u32(p.window_size);
    w.u32(p.window_crc);
  }
  w.u32(static_cast<uint32_t>(stream.piece_crcs.size()));
  for (uint32_t crc : stream.piece_crcs) w.u32(crc);
  const int64_t rest_at = std::ssize(*bytes);
  bytes->append(rest);
  Writer tail(bytes);
  tail.i64(rest_at);
  tail.i64(std::ssize(rest));
  tail.u32(crc32_of(0, std::as_bytes(std::span(rest))));
  tail.u32(index_version);
  bytes->append(index_mark.substr(0, 8));
  return {};
}

bool read_index(std::shared_ptr<const Source> file, ArchiveIndex* index) {
  int64_t size = 0;
  if (!file->size(&size).ok() || size < head_size + tail_size) return false;
  std::array<std::byte, head_size> head{};
  std::array<std::byte, tail_size> tail{};
  if (!read_all(*file, 0, head).ok() || !read_all(*file, size - tail_size, tail).ok()) {
    return false;
  }
  if (std::memcmp(head.data(), index_mark.data(), index_mark.size()) != 0 ||
      std::memcmp(tail.data() + 24, index_mark.data(), 8) != 0) {
    return false;
  }
  Reader h(std::span<const std::byte>(head).subspan(index_mark.size()));
  Reader t{std::span<const std::byte>(tail)};
  const int64_t rest_at = t.i64();
  const int64_t rest_size = t.i64();
  const uint32_t rest_crc = t.u32();
  // Another version's index is not read: the next run makes one of this version.
  if (h.u32() != index_version || t.u32() != index_version) return false;
  if (rest_at < head_size || rest_size < 0 || rest_size > rest_limit ||
      rest_at > size - tail_size - rest_size || rest_at + rest_size != size - tail_size) {
    return false;
  }
  std::vector<std::byte> rest(static_cast<size_t>(rest_size));
  if (!read_all(*file, rest_at, rest).ok() || crc32_of(0, rest) != rest_crc) return false;

  Reader r{std::span<const std::byte>(rest)};
  ArchiveIndex got;
  got.key = read_key(r);
  StreamIndex& stream = got.stream;
  stream.decoded_size = r.i64();
  stream.raw_start = r.u8() != 0;
  const uint32_t members = r.count(24, members_limit);
  for (uint32_t i = 0; i < members && r.ok(); ++i) {
    ArchiveMember& m = got.members.emplace_back();
    m.name = r.text(size_t{64} << 10);
    const uint8_t part = r.u8();
    m.size = r.i64();
    m.data = r.i64();
    m.sparse = r.u8() != 0;
    m.link = r.text(size_t{64} << 10);
    if (r.u8() != 0) m.text = r.text(static_cast<size_t>(text_limit));
    m.storage = Storage::in_gzip;
    // A member's part is what its name says; its bytes lie inside the decoded stream.
    if (part > static_cast<uint8_t>(Part::projection) ||
        static_cast<Part>(part) != part_of(m.name) || m.size < 0 || m.data < 0 ||
        m.data > stream.decoded_size || m.size > stream.decoded_size - m.data) {
      return false;
    }
    m.part = static_cast<Part>(part);
  }
  const uint32_t points = r.count(42, UINT32_MAX);
  for (uint32_t i = 0; i < points && r.ok(); ++i) {
    AccessPoint& p = stream.points.emplace_back();
    p.position = r.i64();
    p.input = r.i64();
    p.bits = r.u8();
    p.value = r.u8();
    p.first_piece = r.u32();
    p.window_at = r.i64();
    p.window_packed = r.u32();
    p.window_size = r.u32();
    p.window_crc = r.u32();
  }
  const uint32_t crcs = r.count(4, UINT32_MAX);
  stream.piece_crcs.resize(crcs);
  for (uint32_t& crc : stream.piece_crcs) crc = r.u32();
  if (!r.done() || !stream.consistent(got.key.size)) return false;
  const int64_t windows_size = rest_at - head_size;
  for (const AccessPoint& p : stream.points) {
    if (p.window_packed > 0 && p.window_at > windows_size - p.window_packed) return false;
  }
  stream.windows =
      stored_member(std::move(file), "index windows", head_size, windows_size, std::nullopt);
  *index = std::move(got);
  return true;
}

std::string IndexCache::path_for(const FileId& id) const {
  return folder_ + "/" +
         format("%016llx-%016llx.index", static_cast<unsigned long long>(id.device),
                static_cast<unsigned long long>(id.number));
}

bool IndexCache::load(const IndexKey& key, ArchiveIndex* index) const {
  const std::string path = path_for(key.id);
  File file;
  if (!File::open_for_reading(path, &file).ok()) return false;
  ArchiveIndex got;
  if (!read_index(std::make_shared<FileSource>(std::move(file)), &got) || !(got.key == key)) {
    return false;
  }
  got.stream.file = path;
  *index = std::move(got);
  return true;
}

bool IndexCache::store(const ArchiveIndex& index, std::string* path) const {
  std::string bytes;
  if (!encode_index(index, &bytes).ok() || !create_folders(folder_).ok()) return false;
  *path = path_for(index.key.id);
  // Temporary files that a killed run left (where a file cannot be made without a name) go,
  // once a process, before it makes any of its own; one of another run writing now only
  // keeps that run from keeping its index.
  static std::once_flag swept;
  std::call_once(swept, [&] {
    std::vector<std::string> names;
    if (!list_folder(folder_, &names).ok()) return;
    for (const std::string& name : names) {
      if (name.ends_with(".part")) (void)remove_file(folder_ + "/" + name);
    }
  });
  File file;
  if (create_unnamed(folder_, *path, &file)) {
    // Without a name until it is whole, so a run killed before leaves nothing; the name
    // goes to the first run to give it, and that index is whole.
    if (!file.write_all(std::as_bytes(std::span(bytes))).ok()) return false;
    (void)remove_file(*path);
    return name_file(file, *path).ok() && file.close().ok();
  }
  const std::string temporary = *path + "." + random_tag() + ".part";
  int slot = -1;
  {
    // A run interrupted while the file is written removes it.
    SignalsHeld held;
    if (!File::create_new(temporary, temporary, &file).ok()) return false;
    slot = register_removal(temporary);
  }
  const bool written = file.write_all(std::as_bytes(std::span(bytes))).ok() && file.close().ok() &&
                       replace_file(temporary, *path).ok();
  if (!written) (void)remove_file(temporary);
  unregister_removal(slot);
  return written;
}

}  // namespace demstitch
