#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/status.hpp"
#include "io/file.hpp"

namespace demstitch {

// The bytes of one input file, read by offset. A source is opened once and then only read:
// read_at may be called from several threads at once.
class Source {
 public:
  virtual ~Source() = default;
  // The name messages use for it: the path it was opened by.
  virtual const std::string& name() const = 0;
  virtual Status size(int64_t* bytes) const = 0;
  // The identity of the file behind it, where it is one.
  virtual std::optional<FileId> id() const { return std::nullopt; }
  // The state of the file behind it, where it is one: another once it is written to.
  virtual std::optional<FileVersion> version() const { return std::nullopt; }
  // Whether its bytes are decoded from compressed ones as they are read: reading them again
  // decodes them again.
  virtual bool decoded() const { return false; }
  // Reads consecutive bytes from `offset` into `pieces` in order, until they are full or the
  // source ends; *got tells how far it came (a short count is the end, not an error).
  virtual Status read_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                         size_t* got) const = 0;
};

// Opens the sources a run reads, by path: the file system, or in tests, memory.
class SourceOpener {
 public:
  virtual ~SourceOpener() = default;
  virtual Status open(const std::string& path, std::unique_ptr<Source>* source) = 0;
};

// A source on a regular file.
class FileSource final : public Source {
 public:
  explicit FileSource(File file) : file_(std::move(file)) {}
  const std::string& name() const override { return file_.name(); }
  Status size(int64_t* bytes) const override { return file_.size(bytes); }
  std::optional<FileId> id() const override { return file_.id(); }
  std::optional<FileVersion> version() const override { return file_.version(); }
  Status read_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                 size_t* got) const override {
    return file_.read_pieces_at(offset, pieces, got);
  }

 private:
  File file_;
};

// Opens regular files for reading.
class FileOpener final : public SourceOpener {
 public:
  Status open(const std::string& path, std::unique_ptr<Source>* source) override;
};

// Reads a whole source of at most `limit` bytes into *text; false (and nothing read) when it
// is longer or cannot be read: `why` then says so, where given.
bool read_whole(const Source& source, int64_t limit, std::string* text, Status* why = nullptr);

// Opens base + lower-case extension, or else base + upper-case extension (tiles are
// distributed with upper-case names). `path` is the name opened, or on failure the one whose
// error is returned: the upper-case one where it exists but cannot be opened, else the
// lower-case one.
Status open_either_case(SourceOpener& opener, const std::string& base, const char* lower,
                        const char* upper, std::unique_ptr<Source>* source, std::string* path);

}  // namespace demstitch
