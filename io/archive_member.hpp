#pragma once

// What the archive readers share inside io/: a member as a reader lists it, and each
// format's reader (tar_reader.cpp for .tar and .tar.gz, zip_reader.cpp), which archive.cpp
// picks from one table. Not for use outside io/.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.hpp"
#include "base/strings.hpp"
#include "io/archive.hpp"
#include "io/member_decoder.hpp"
#include "io/stream_index.hpp"

namespace demstitch {

inline constexpr int64_t text_limit = int64_t{64} << 10;  // a tile's header or .prj
inline constexpr int64_t tar_block = 512;

enum class Part { other, header, raster, projection };

// A tile's member by its extension, in any case; "NAME.HDR" needs a NAME.
Part part_of(std::string_view name);

inline Status damaged(const std::string& path, std::string why) {
  return Status::error(StatusKind::corrupt, Side::input, path, std::move(why));
}

// Reads exactly out.size() bytes at `offset`; *whole is false when the file ends first.
Status read_exactly(const Source& file, int64_t offset, std::span<std::byte> out, bool* whole);

// How a member's bytes are had.
enum class Storage {
  stored,      // a stretch of the file (a tar's member, a zip's stored entry)
  deflated,    // a zip's deflated entry, from its own start
  in_gzip,     // a stretch of a gzip stream's decoded tar, from the listing's checkpoints
  unsupported  // a zip method other than these
};

struct ArchiveMember {
  std::string name;  // as the archive holds it
  Part part = Part::other;
  int64_t size = 0;     // as the archive states it
  int64_t data = 0;     // where its data begins: in the file, or in a .tar.gz's decoded tar
  int64_t packed = -1;  // a zip member's compressed bytes
  Storage storage = Storage::stored;
  uint32_t method = 0;  // a zip member's, for messages
  bool encrypted = false;
  bool sparse = false;  // a sparse tar member, which is not read
  std::optional<uint32_t> crc;
  std::vector<Checkpoint> checkpoints;  // into a .tar.gz raster
  int64_t checkpoint_spacing = 0;       // between a .tar.gz raster's listing checkpoints
  std::string link;                     // a hard link's target, where it names none before it
  std::optional<std::string> text;      // a .tar.gz header or .prj, read while listing
  Status text_status;                   // why it could not be
};

// A reader of one archive format: whether a file's first bytes (up to a tar block) are its,
// and the listing of its members (progress told as in Archive::list).
struct ArchiveReader {
  ArchiveKind kind;
  bool (*bids)(std::span<const std::byte> head);
  Status (*list)(const Source& file, const ListProgress& progress,
                 std::vector<ArchiveMember>* members);
};

bool bids_gzip(std::span<const std::byte> head);
bool bids_zip(std::span<const std::byte> head);
bool bids_tar(std::span<const std::byte> head);
Status list_gzipped_tar(const Source& file, const ListProgress& progress,
                        std::vector<ArchiveMember>* members);
// A .tar.gz listed while `builder` takes its stream's index.
Status list_gzipped_tar_indexing(const Source& file, const ListProgress& progress,
                                 std::vector<ArchiveMember>* members, StreamIndexBuilder* builder);
Status list_zip(const Source& file, const ListProgress& progress,
                std::vector<ArchiveMember>* members);
Status list_plain_tar(const Source& file, const ListProgress& progress,
                      std::vector<ArchiveMember>* members);

}  // namespace demstitch
