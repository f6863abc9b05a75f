#pragma once

// An archive's index as the user's cache keeps it between runs: the archive's members (with
// its headers' text) and its stream's index (access points and piece CRCs), so that a
// second run neither lists the archive again nor decodes more of it than it reads. For io/
// only: Archive::list uses it.
//
// One file per archive, named by the archive's file identity and written whole (under a
// temporary name, then renamed over), so runs at the same time share it safely. It is
// used only for the archive it was made from, in the state it was made in: its key holds
// the file's identity, size, times and the CRCs of its first and last 16 KiB. An index that
// is damaged, cut short, of another archive or of another version of this program's index
// is ignored (and made again); a stream that still differs is caught by the piece CRCs.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/archive_member.hpp"
#include "io/stream_index.hpp"

namespace demstitch {

inline constexpr uint32_t index_version = 1;

// What an index is made for: an archive's file and its state.
struct IndexKey {
  FileId id;
  FileVersion version;
  int64_t size = 0;
  uint32_t head_crc = 0;
  uint32_t tail_crc = 0;
  bool operator==(const IndexKey&) const = default;
};
// The key of `file` as it is now; false where it has no identity (not a file on a disk).
bool index_key(const Source& file, IndexKey* key);

struct ArchiveIndex {
  IndexKey key;
  std::vector<ArchiveMember> members;  // a .tar.gz's, each with its text where it has one
  StreamIndex stream;
};

// The bytes of an index's file (its windows read from index.stream.windows).
Status encode_index(const ArchiveIndex& index, std::string* bytes);
// Reads an index's file; false when it is not one this program wrote and can use, is cut
// short or damaged, or describes no archive of `key`'s size. Its windows are then read from
// `file` as they are needed.
bool read_index(std::shared_ptr<const Source> file, ArchiveIndex* index);

// The indexes in a folder of the user's cache.
class IndexCache {
 public:
  explicit IndexCache(std::string folder) : folder_(std::move(folder)) {}
  const std::string& folder() const { return folder_; }

  // The index the cache holds for the archive of `key`, where it holds one made from that
  // archive in that state.
  bool load(const IndexKey& key, ArchiveIndex* index) const;
  // Keeps `index` for later runs; false (and nothing left behind) when it cannot: the run
  // goes on without. *path is where it went.
  bool store(const ArchiveIndex& index, std::string* path) const;

 private:
  std::string path_for(const FileId& id) const;

  std::string folder_;
};

}  // namespace demstitch
