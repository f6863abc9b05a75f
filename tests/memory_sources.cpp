#include "tests/memory_sources.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

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

std::string read_range(const Source& source, int64_t offset, size_t length) {
  std::string out(length, '\0');
  auto bytes = std::as_writable_bytes(std::span(out));
  size_t got = 0;
  EXPECT_TRUE(source.read_at(offset, std::span(&bytes, 1), &got).ok());
  out.resize(got);
  return out;
}

void expect_reads_in_any_order(const Source& source, const std::string& bytes) {
  const auto size = static_cast<int64_t>(bytes.size());
  for (auto [offset, length] :
       std::vector<std::pair<int64_t, size_t>>{{0, 100000},
                                               {size * 5 / 7, 300000},
                                               {size * 5 / 7 + 200000, 1000},
                                               {1000, 5000},
                                               {size * 6 / 7, bytes.size()},
                                               {size * 3 / 7, 10}}) {
    EXPECT_TRUE(read_range(source, offset, length) ==
                bytes.substr(static_cast<size_t>(offset), length))
        << offset;
  }
  std::string a;
  std::string b;
  const int64_t end = size * 4 / 7;
  std::thread other([&] {
    for (int64_t at = 0; at < end; at += 230000) a += read_range(source, at, 115000);
  });
  for (int64_t at = 115000; at < end; at += 230000) b += read_range(source, at, 115000);
  other.join();
  std::string want_a;
  std::string want_b;
  for (int64_t at = 0; at < end; at += 230000)
    want_a += bytes.substr(static_cast<size_t>(at), 115000);
  for (int64_t at = 115000; at < end; at += 230000)
    want_b += bytes.substr(static_cast<size_t>(at), 115000);
  EXPECT_TRUE(a == want_a && b == want_b);
}

}  // namespace demstitch::testing
