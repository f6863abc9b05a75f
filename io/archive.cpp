// Archives as openers of their members: the readers' table, the listing, and each member
// opened as the source its storage gives (see member_decoder.hpp).
#include "io/archive.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

#include "base/strings.hpp"
#include "io/archive_index.hpp"
#include "io/archive_member.hpp"
#include "io/inflate.hpp"

namespace demstitch {
namespace {

// Every archive format, in the order their first bytes are tried.
constexpr ArchiveReader readers[] = {
    {ArchiveKind::gzip, bids_gzip, list_gzipped_tar},
    {ArchiveKind::zip, bids_zip, list_zip},
    {ArchiveKind::tar, bids_tar, list_plain_tar},
};

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

Status read_exactly(const Source& file, int64_t offset, std::span<std::byte> out, bool* whole) {
  size_t got = 0;
  Status s = file.read_at(offset, std::span(&out, 1), &got);
  *whole = s.ok() && got == out.size();
  return s;
}

ArchiveKind archive_kind(const Source& file) {
  std::array<std::byte, tar_block> head{};
  size_t got = 0;
  std::span<std::byte> bytes(head);
  if (!file.read_at(0, std::span(&bytes, 1), &got).ok()) return ArchiveKind::none;
  for (const ArchiveReader& reader : readers) {
    if (reader.bids(std::span(head).first(got))) return reader.kind;
  }
  return ArchiveKind::none;
}

Archive::~Archive() = default;

const std::string& Archive::name() const { return file_->name(); }

Status Archive::list(std::shared_ptr<const Source> file, std::unique_ptr<Archive>* archive,
                     const ListProgress& progress, const std::string& cache_folder) {
  std::unique_ptr<Archive> a(new Archive());
  a->version_ = file->version();
  a->kind_ = archive_kind(*file);
  a->file_ = std::move(file);
  const Source& f = *a->file_;
  const auto reader = std::find_if(std::begin(readers), std::end(readers),
                                   [&](const ArchiveReader& r) { return r.kind == a->kind_; });
  if (reader == std::end(readers)) return damaged(f.name(), "not an archive");
  IndexKey key;
  if (!cache_folder.empty() && a->kind_ == ArchiveKind::gzip && index_key(f, &key)) {
    a->version_ = key.version;
    if (Status s = a->list_with_index(IndexCache(cache_folder), key, progress); !s.ok()) return s;
  } else if (Status s = reader->list(f, progress, &a->members_); !s.ok()) {
    return s;
  }
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

Status Archive::list_with_index(const IndexCache& cache, const IndexKey& key,
                                const ListProgress& progress) {
  ArchiveIndex index;
  if (cache.load(key, &index)) {
    members_ = std::move(index.members);
    index_ = std::make_shared<const StreamIndex>(std::move(index.stream));
    index_reused_ = true;
    return {};
  }
  StreamIndexBuilder builder;
  if (Status s = list_gzipped_tar_indexing(*file_, progress, &members_, &builder); !s.ok()) {
    return s;
  }
  // The windows take at most 1.5% of the archive, the rest of the index a little more.
  index.stream = builder.finish(key.size * 3 / 200);
  index.key = key;
  index.members = members_;
  std::string path;
  // Kept only when the archive is still as it was when its key was taken; then read back,
  // so that its windows are read from the file as they are needed.
  ArchiveIndex kept;
  if (file_->version() == key.version && cache.store(index, &path) && cache.load(key, &kept)) {
    index_ = std::make_shared<const StreamIndex>(std::move(kept.stream));
  } else {
    index_ = std::make_shared<const StreamIndex>(std::move(index.stream));
  }
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
    *source = text_member(path, *member.text, file_->id());
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
  MemberStream stream;
  stream.file = file_;
  stream.listed = version_;
  stream.size = member.size;
  switch (member.storage) {
    case Storage::unsupported:
      return damaged(path, format("compression method %u: not read", member.method));
    case Storage::stored:
      if (member.packed >= 0 && member.packed != member.size) {
        return damaged(path, "its stored size disagrees with its data");
      }
      data = stored_member(file_, path, member.data, member.size, version_);
      break;
    case Storage::deflated:
      stream.wrapper = Inflater::Wrapper::raw;
      stream.input_end = member.data + member.packed;
      stream.checkpoints.push_back(Checkpoint{0, member.data, 0, true, nullptr});
      stream.crc = member.crc;
      data = inflated_member(path, std::move(stream));
      break;
    case Storage::in_gzip:
      stream.wrapper = Inflater::Wrapper::gzip;
      if (Status s = file_->size(&stream.input_end); !s.ok()) return s;
      stream.checkpoints = member.checkpoints;
      stream.index = index_;
      stream.start = member.data;
      data = inflated_member(path, std::move(stream));
      break;
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
  *source = text_member(path, std::move(text), file_->id());
  return {};
}

}  // namespace demstitch
