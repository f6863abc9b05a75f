#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "io/source.hpp"

namespace demstitch::testing {

// A source held in memory. With `fail_from` set, a read that reaches that byte fails; with
// `shrink_to`, the source is that long for reads (but not for size()), as a tile cut short
// while it is read.
class MemorySource final : public Source {
 public:
  MemorySource(std::string name, std::string bytes)
      : name_(std::move(name)), bytes_(std::move(bytes)) {}
  const std::string& name() const override { return name_; }
  Status size(int64_t* bytes) const override;
  Status read_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                 size_t* got) const override;
  std::optional<FileVersion> version() const override { return version_; }
  std::optional<FileId> id() const override { return identity; }
  // Writes `bytes` over the whole source, as `cat new > old` does: its version changes.
  void rewrite(std::string bytes) {
    bytes_ = std::move(bytes);
    version_.modified_ns += 1;
  }

  // Changes bytes as a write that leaves the file's size and times as they were would.
  void change_unseen(int64_t at, char byte) { bytes_[static_cast<size_t>(at)] = byte; }

  std::optional<FileId> identity;  // none: not a file on a disk
  std::optional<int64_t> fail_from;
  std::optional<int64_t> shrink_to;

 private:
  std::string name_;
  std::string bytes_;
  FileVersion version_;
};

// The bytes of `source` from `offset`, at most `length` of them (fewer where it ends).
std::string read_range(const Source& source, int64_t offset, size_t length);

// Reads `source` as the writers do, checking every read against `bytes`: forward, back
// within a few hundred kilobytes, far back, past the end, and from two threads at once a
// band apart (the band writer's order).
void expect_reads_in_any_order(const Source& source, const std::string& bytes);

// Opens the files of a folder held in memory, by path.
class MemoryOpener final : public SourceOpener {
 public:
  Status open(const std::string& path, std::unique_ptr<Source>* source) override;
  std::map<std::string, std::string> files;
  std::map<std::string, int64_t> fail_from;  // reads of these paths fail from that byte
  std::map<std::string, int64_t> shrink_to;  // and these are cut short once opened
};

}  // namespace demstitch::testing
