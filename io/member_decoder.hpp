#pragma once

// The sources an archive's members are read through: a member held in memory, a stored one
// (a stretch of the archive's file), and a compressed one decoded forward from checkpoints.
// For io/ only: the archive readers make them, and their tests.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/inflate.hpp"
#include "io/source.hpp"
#include "io/stream_index.hpp"

namespace demstitch {

// Where decoding a compressed member may start again.
struct Checkpoint {
  int64_t position = 0;  // decoded bytes before it
  int64_t input = 0;     // the file offset of the next compressed byte
  uint32_t crc = 0;      // of the member's bytes before it, where known
  bool crc_known = false;
  std::shared_ptr<const Inflater> state;  // null: a decoder at the start of its stream
};

// A compressed member as its decoding needs it.
struct MemberStream {
  std::shared_ptr<const Source> file;
  Inflater::Wrapper wrapper = Inflater::Wrapper::raw;
  int64_t input_end = 0;  // where its compressed bytes end in the file
  // Where decoding may start: the first at or before the member; more, spaced through it,
  // where the listing took them.
  std::vector<Checkpoint> checkpoints;
  int64_t start = 0;  // the member's first byte among the decoded ones
  int64_t size = 0;
  std::optional<uint32_t> crc;        // checked when its last byte is decoded
  std::optional<FileVersion> listed;  // the file's state when the archive was listed
  // Where the stream has an index, decoding starts at its access points instead, and every
  // piece is checked against the index's CRC before any of its bytes are delivered.
  std::shared_ptr<const StreamIndex> index;
};

// A member held in memory (a header or .prj read while listing).
std::unique_ptr<Source> text_member(std::string name, std::string text, std::optional<FileId> id);
// A stored member: `size` bytes of `file` from `start`. Once the file is no longer as
// `listed`, reads come up short.
std::unique_ptr<Source> stored_member(std::shared_ptr<const Source> file, std::string name,
                                      int64_t start, int64_t size,
                                      std::optional<FileVersion> listed);
// A compressed member, decoded forward from the nearest checkpoint or access point (rolling
// checkpoints taken every 2 MiB as it is read where there is no index) and the last 64 to
// 128 KiB decoded kept until its last byte is delivered, by one reader at a time. A member
// that is damaged, ends early, fails its CRC or an index's piece CRC, or whose file is no
// longer as listed, reads short from there (the piece that fails is never delivered).
std::unique_ptr<Source> inflated_member(std::string name, MemberStream stream);

}  // namespace demstitch
