#include "tests/memory_sources.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace demstitch::testing {

Status MemorySource::size(int64_t* bytes) const {
  *bytes = static_cast<int64_t>(bytes_.size());
  return {};
}

Status MemorySource::read_at(int64_t offset, std::span<const std::span<std::byte>> pieces,
                             size_t* got) const {
  *got = 0;
  const auto end = static_cast<int64_t>(
      std::min<uint64_t>(bytes_.size(), static_cast<uint64_t>(shrink_to.value_or(INT64_MAX))));
  for (std::span<std::byte> piece : pieces) {
    int64_t at = offset + static_cast<int64_t>(*got);
    int64_t n = std::clamp<int64_t>(end - at, 0, static_cast<int64_t>(piece.size()));
    if (fail_from && at + static_cast<int64_t>(piece.size()) > *fail_from) {
      return Status::from_errno(EIO, Side::input, name_);
    }
    if (n > 0) std::memcpy(piece.data(), bytes_.data() + at, static_cast<size_t>(n));
    *got += static_cast<size_t>(n);
    if (n < static_cast<int64_t>(piece.size())) break;
  }
  return {};
}

Status MemoryOpener::open(const std::string& path, std::unique_ptr<Source>* source) {
  auto file = files.find(path);
  if (file == files.end()) return Status::from_errno(ENOENT, Side::input, path);
  auto memory = std::make_unique<MemorySource>(path, file->second);
  if (auto fail = fail_from.find(path); fail != fail_from.end()) memory->fail_from = fail->second;
  if (auto cut = shrink_to.find(path); cut != shrink_to.end()) memory->shrink_to = cut->second;
  *source = std::move(memory);
  return {};
}

}  // namespace demstitch::testing
