#include "io/member_decoder.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/archive_writer.hpp"
#include "tests/memory_sources.hpp"

namespace demstitch {
namespace {

using testing::deflated;
using testing::gzipped;
using testing::MemorySource;

// Bytes that deflate packs into many blocks: a slope with some noise.
std::string samples(size_t bytes) {
  std::string out(bytes, '\0');
  uint32_t state = 7;
  for (size_t i = 0; i < bytes; ++i) {
    state = state * 1103515245 + 12345;
    out[i] = static_cast<char>((i / 512) % 90 + (state >> 28));
  }
  return out;
}

std::string read_range(const Source& source, int64_t offset, size_t length) {
  std::string out(length, '\0');
  auto bytes = std::as_writable_bytes(std::span(out));
  size_t got = 0;
  EXPECT_TRUE(source.read_at(offset, std::span(&bytes, 1), &got).ok());
  out.resize(got);
  return out;
}

TEST(MemberDecoder, AMemberInsideAGzipStreamIsItsStretchOfTheDecodedBytes) {
  // A member 5 MiB long starting 1 MiB into the decoded stream, as a raster inside a
  // .tar.gz: decoded from the stream's start, the one checkpoint before it.
  const std::string all = samples(size_t{7} << 20);
  const int64_t start = int64_t{1} << 20;
  const size_t size = size_t{5} << 20;
  const std::string member_bytes = all.substr(static_cast<size_t>(start), size);
  const std::string gz = gzipped(all);
  MemberStream stream;
  stream.file = std::make_shared<MemorySource>("m.tar.gz", gz);
  stream.wrapper = Inflater::Wrapper::gzip;
  stream.input_end = static_cast<int64_t>(gz.size());
  stream.checkpoints.push_back(Checkpoint{0, 0, 0, false, nullptr});
  stream.start = start;
  stream.size = static_cast<int64_t>(size);
  const std::unique_ptr<Source> member = inflated_member("m.tar.gz:A.DEM", std::move(stream));
  int64_t length = 0;
  ASSERT_TRUE(member->size(&length).ok());
  EXPECT_EQ(length, static_cast<int64_t>(size));
  // Forward, back within the bytes kept, far back (a rolling checkpoint), past the end.
  for (auto [offset, count] : std::vector<std::pair<int64_t, size_t>>{{0, 1000},
                                                                      {4000000, 300000},
                                                                      {4100000, 1000},
                                                                      {2500000, 100000},
                                                                      {5000000, 1000000},
                                                                      {100, 10}}) {
    EXPECT_TRUE(read_range(*member, offset, count) ==
                member_bytes.substr(static_cast<size_t>(offset), count))
        << offset;
  }
  // Two readers a band apart, as the band writer reads.
  std::string a;
  std::string b;
  std::thread other([&] {
    for (int64_t at = 0; at < 4000000; at += 400000) a += read_range(*member, at, 200000);
  });
  for (int64_t at = 200000; at < 4000000; at += 400000) b += read_range(*member, at, 200000);
  other.join();
  std::string want_a;
  std::string want_b;
  for (size_t at = 0; at < 4000000; at += 400000) want_a += member_bytes.substr(at, 200000);
  for (size_t at = 200000; at < 4000000; at += 400000) want_b += member_bytes.substr(at, 200000);
  EXPECT_TRUE(a == want_a && b == want_b);
}

TEST(MemberDecoder, ADeflatedMemberThatFailsItsCrcWithholdsItsLastPiece) {
  const std::string bytes = samples(size_t{1} << 20);
  const std::string raw = deflated(bytes, -15);
  for (bool good : {true, false}) {
    MemberStream stream;
    stream.file = std::make_shared<MemorySource>("c.zip", raw);
    stream.input_end = static_cast<int64_t>(raw.size());
    stream.checkpoints.push_back(Checkpoint{0, 0, 0, true, nullptr});
    stream.size = static_cast<int64_t>(bytes.size());
    stream.crc = crc32_of(0, std::as_bytes(std::span(bytes))) ^ (good ? 0U : 1U);
    const std::unique_ptr<Source> member = inflated_member("c.zip:A.DEM", std::move(stream));
    const std::string got = read_range(*member, 0, bytes.size());
    if (good) {
      EXPECT_TRUE(got == bytes);
    } else {
      EXPECT_LT(got.size(), bytes.size());
      EXPECT_TRUE(got == bytes.substr(0, got.size()));
    }
  }
}

}  // namespace
}  // namespace demstitch
