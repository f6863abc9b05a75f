// The archive reader on fuzzer-chosen bytes: listing must end with a defined status, and
// every member of every tile it lists must read without a crash, a hang or unbounded memory,
// whatever order its bytes are asked for in. A member's bytes read twice must be the same.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "io/archive.hpp"

namespace {

class BytesSource final : public demstitch::Source {
 public:
  BytesSource(const uint8_t* data, size_t size) : bytes_(data, data + size) {}
  const std::string& name() const override { return name_; }
  demstitch::Status size(int64_t* bytes) const override {
    *bytes = static_cast<int64_t>(bytes_.size());
    return {};
  }
  demstitch::Status read_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                            size_t* got) const override {
    *got = 0;
    auto at = static_cast<size_t>(std::min<int64_t>(offset, std::ssize(bytes_)));
    for (std::span<std::byte> piece : pieces) {
      const size_t n = std::min(piece.size(), bytes_.size() - at);
      if (n > 0) std::memcpy(piece.data(), bytes_.data() + at, n);
      at += n;
      *got += n;
      if (n < piece.size()) break;
    }
    return {};
  }

 private:
  std::string name_ = "fuzz.tar.gz";
  std::vector<uint8_t> bytes_;
};

// Reads at most `limit` bytes of a member: forward, then again from a third of the way, and
// checks the two agree.
void read_member(const demstitch::Source& member, int64_t limit) {
  int64_t size = 0;
  if (!member.size(&size).ok()) return;
  const int64_t length = std::min(size, limit);
  std::vector<std::byte> first(static_cast<size_t>(length));
  for (int64_t at = 0; at < length; at += 4096) {
    const auto n = static_cast<size_t>(std::min<int64_t>(4096, length - at));
    std::span<std::byte> piece = std::span(first).subspan(static_cast<size_t>(at), n);
    size_t got = 0;
    if (!member.read_at(at, std::span(&piece, 1), &got).ok() || got < n) {
      first.resize(static_cast<size_t>(at) + got);
      break;
    }
  }
  const size_t from = first.size() / 3;
  std::vector<std::byte> again(first.size() - from);
  std::span<std::byte> piece(again);
  size_t got = 0;
  if (member.read_at(static_cast<int64_t>(from), std::span(&piece, 1), &got).ok() &&
      !std::equal(again.begin(), again.begin() + static_cast<ptrdiff_t>(got),
                  first.begin() + static_cast<ptrdiff_t>(from))) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto file = std::make_shared<BytesSource>(data, size);
  std::unique_ptr<demstitch::Archive> archive;
  if (!demstitch::Archive::list(file, &archive).ok()) return 0;
  for (const std::string& tile : archive->tiles()) {
    for (const char* extension : {".hdr", ".DEM", ".prj"}) {
      std::unique_ptr<demstitch::Source> member;
      if (archive->open(tile + extension, &member).ok()) read_member(*member, int64_t{8} << 20);
    }
  }
  return 0;
}
