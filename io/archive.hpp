#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "io/source.hpp"

namespace demstitch {

// What a file's first bytes say it is: a gzip stream (taken for a .tar.gz), a zip, a plain
// tar, or none of these.
enum class ArchiveKind { none, gzip, zip, tar };
ArchiveKind archive_kind(const Source& file);

// The most tiles one archive may list.
inline constexpr size_t max_archive_tiles = 1024;

struct ArchiveMember;
class StreamIndex;
class IndexCache;
struct IndexKey;

// Told, while an archive is listed, how many of its file's bytes are read (every MiB or so,
// and at the end); false cancels the listing (kind cancelled).
using ListProgress = std::function<bool(int64_t bytes_read)>;

// The tiles in a tar, .tar.gz or zip, read in place: nothing is extracted. A tile is a
// NAME.HDR member with, where the archive has them, NAME.DEM and NAME.PRJ beside it (any
// case, the same folder inside the archive). The archive is an opener of its members by
// the name "ARCHIVE:MEMBER", so a tile inside it is read as a tile on the disk is.
//
// Members are read as streams: a stored member by offset, a compressed one by decoding
// forward from the nearest checkpoint (one at the start of every raster, others taken while
// a raster is decoded), keeping the last few hundred kilobytes decoded. Reads that move
// forward, or back by less than that, cost no more than decoding the member once; a read
// further back decodes again from a checkpoint. A member that turns out shorter than
// stated, or fails its CRC, reads short: its last bytes are never delivered.
class Archive final : public SourceOpener {
 public:
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;
  ~Archive() override;

  // Lists the archive in `file`: a zip by its directory, a tar by reading it through (and,
  // on the way, the text of the headers and .prj files of a .tar.gz, and checkpoints into
  // its rasters). Fails, naming the file, when it is no archive, is damaged or truncated,
  // holds more than max_archive_tiles tiles, or holds no tile header.
  //
  // With a cache folder, a .tar.gz is listed from the index kept there for it, where one
  // was made from the archive as it is now; otherwise it is read through as before while
  // its index is made (decoded by zlib, a block at a time), and the index is kept there
  // for the next run. Either way its rasters are then read from the index's access points,
  // every piece checked against the index's CRC. An index that cannot be kept is no
  // failure.
  static Status list(std::shared_ptr<const Source> file, std::unique_ptr<Archive>* archive,
                     const ListProgress& progress = {}, const std::string& cache_folder = {});

  const std::string& name() const;
  // Whether its rasters are read through an index (made now, or kept from an earlier run),
  // and whether that index came from the cache.
  bool indexed() const { return index_ != nullptr; }
  bool index_reused() const { return index_reused_; }
  // The tiles by "ARCHIVE:STEM", STEM being a header's member name without its extension,
  // in the order the archive holds their headers.
  const std::vector<std::string>& tiles() const { return tiles_; }
  // Opens "ARCHIVE:MEMBER" (the member's name matched ignoring case); kind not_found when
  // the archive holds no such member.
  Status open(const std::string& path, std::unique_ptr<Source>* source) override;

 private:
  Archive() = default;
  Status list_with_index(const IndexCache& cache, const IndexKey& key,
                         const ListProgress& progress);
  Status open_member(const ArchiveMember& member, const std::string& path,
                     std::unique_ptr<Source>* source) const;

  std::shared_ptr<const Source> file_;
  std::optional<FileVersion> version_;  // the file's state when it was listed
  ArchiveKind kind_ = ArchiveKind::none;
  std::vector<ArchiveMember> members_;
  std::vector<std::string> tiles_;
  std::shared_ptr<const StreamIndex> index_;  // a .tar.gz's, where there is one
  bool index_reused_ = false;
};

}  // namespace demstitch
