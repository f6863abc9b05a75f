#include "io/member_decoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tests/archive_writer.hpp"
#include "tests/memory_sources.hpp"

namespace demstitch {
namespace {

using testing::deflated;
using testing::gzipped;
using testing::MemorySource;
using testing::raster;
using testing::read_range;

TEST(MemberDecoder, AMemberInsideAGzipStreamIsItsStretchOfTheDecodedBytes) {
  // A member 5 MiB long starting 1 MiB into the decoded stream, as a raster inside a
  // .tar.gz: decoded from the stream's start, the one checkpoint before it.
  const std::string all = raster(size_t{7} << 20);
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
  testing::expect_reads_in_any_order(*member, member_bytes);
  // Its last byte delivered, the decoded bytes it kept are gone: a reader a little behind
  // gets them decoded again.
  EXPECT_TRUE(read_range(*member, length - 100, 100) == member_bytes.substr(size - 100));
  EXPECT_TRUE(read_range(*member, length - 50000, 1000) == member_bytes.substr(size - 50000, 1000));
}

TEST(MemberDecoder, ADeflatedMemberThatFailsItsCrcWithholdsItsLastPiece) {
  const std::string bytes = raster(size_t{1} << 20);
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

// A damaged stream (the archive fuzzer's find) on which ISA-L reports more input left than
// it was given: the decoder never says it used more than it had.
TEST(Inflater, NeverUsesMoreInputThanItWasGiven) {
  const unsigned char damaged[] = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x97, 0x00, 0x00,
                                   0x00, 0x03, 0xed, 0xd9, 0x69, 0xa6, 0xfe, 0x4b, 0x0e,
                                   0xc3, 0x20, 0x0c, 0x05, 0xf7, 0x3e, 0x85, 0x00};
  const auto in = std::as_bytes(std::span(damaged));
  std::vector<std::byte> out(size_t{1} << 16);
  Inflater inflater(Inflater::Wrapper::gzip);
  size_t used = 0;
  for (int call = 0; call < 4 && used < in.size(); ++call) {
    size_t consumed = 0;
    size_t produced = 0;
    const Inflater::Result r = inflater.run(in.subspan(used), out, &consumed, &produced);
    ASSERT_LE(consumed, in.size() - used);
    used += consumed;
    if (r != Inflater::Result::more) break;
  }
}

// Fed a few bytes at a time, ISA-L's decoder stops in block headers; every block start it
// tells there is a place the stream is entered again, with the window before it.
TEST(Inflater, EveryBlockStartItTellsIsWhereTheStreamIsEnteredAgain) {
  if (!Inflater::finds_block_starts()) GTEST_SKIP() << "zlib's decoder tells none";
  const std::string data = testing::raster(size_t{3} << 20);
  const std::string gz = testing::gzipped(data);
  const auto in = std::as_bytes(std::span(gz));
  struct Start {
    size_t input;
    size_t position;
    Inflater::BlockStart at;
  };
  std::vector<Start> starts;
  std::string out;
  std::vector<std::byte> room(size_t{1} << 16);
  Inflater inflater(Inflater::Wrapper::gzip);
  for (size_t used = 0; used < in.size();) {
    size_t consumed = 0;
    size_t produced = 0;
    const Inflater::Result r = inflater.run(in.subspan(used, std::min<size_t>(8, in.size() - used)),
                                            room, &consumed, &produced);
    ASSERT_NE(r, Inflater::Result::error);
    used += consumed;
    out.append(reinterpret_cast<const char*>(room.data()), produced);
    if (const auto at = inflater.block_start();
        at && (starts.empty() || starts.back().position != out.size())) {
      starts.push_back({used - at->bytes_back, out.size(), *at});
    }
    if (r == Inflater::Result::end) break;
  }
  ASSERT_EQ(out, data);
  ASSERT_GE(starts.size(), 8u);
  for (const Start& s : starts) {
    const size_t window = std::min<size_t>(s.position, size_t{32} << 10);
    Inflater entered(Inflater::Wrapper::gzip,
                     std::as_bytes(std::span(data).subspan(s.position - window, window)), s.at.bits,
                     s.at.value);
    std::string rest;
    for (size_t used = s.input; used < in.size();) {
      size_t consumed = 0;
      size_t produced = 0;
      const Inflater::Result r = entered.run(in.subspan(used), room, &consumed, &produced);
      ASSERT_NE(r, Inflater::Result::error) << "entered at " << s.position;
      used += consumed;
      rest.append(reinterpret_cast<const char*>(room.data()), produced);
      if (r == Inflater::Result::end) break;
    }
    ASSERT_TRUE(rest == std::string_view(data).substr(s.position)) << "entered at " << s.position;
  }
}

}  // namespace
}  // namespace demstitch
