// An archive's index on fuzzer-chosen bytes: reading it must end with a defined answer, and
// every member it lists must read, through its access points and piece CRCs, without a
// crash or a hang, delivering only the bytes the archive's stream truly holds there.
//
// An input whose first byte is 0 is the index file itself. Any other is a list of edits
// (four bytes of offset, one to XOR in) to a sound index of a fixed archive, whose CRC is
// then set right, so that the edits reach the reader and the decoder behind it.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/archive_index.hpp"
#include "io/archive_member.hpp"
#include "io/member_decoder.hpp"
#include "tests/archive_writer.hpp"

namespace {

using namespace demstitch;

std::shared_ptr<const Source> memory(std::string bytes) {
  return text_member("fuzz", std::move(bytes), std::nullopt);
}

// A .tar.gz of one tile, its decoded stream, and a sound index of it with points every
// 64 KiB.
struct Fixture {
  std::string decoded;
  std::shared_ptr<const Source> archive;
  int64_t archive_size = 0;
  std::string index;

  Fixture() {
    std::string samples(size_t{400} << 10, '\0');
    uint32_t state = 1;
    for (size_t i = 0; i < samples.size(); ++i) {
      state = state * 1103515245 + 12345;
      samples[i] = static_cast<char>(i % 2 == 0 ? (i / 4096) % 7 : (i / 64) % 200 + (state >> 29));
    }
    decoded = testing::tar_member("A.DEM", samples) + testing::tar_member("A.HDR", "NROWS 1\n") +
              std::string(1024, '\0');
    const std::string gz = testing::gzipped(decoded);
    archive_size = static_cast<int64_t>(gz.size());
    archive = memory(gz);
    ArchiveIndex sound;
    StreamIndexBuilder builder(int64_t{64} << 10);
    if (!list_gzipped_tar_indexing(*archive, {}, &sound.members, &builder).ok()) __builtin_trap();
    sound.stream = builder.finish(int64_t{1} << 30);
    sound.key.size = archive_size;
    if (!encode_index(sound, &index).ok()) __builtin_trap();
  }
};

uint64_t le(const std::string& s, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t{static_cast<unsigned char>(s[at + i])} << (8 * i);
  return v;
}

// Sets the tail's CRC to that of the bytes it points at, where it points inside the file.
void set_crc(std::string& bytes) {
  if (bytes.size() < 64) return;
  const size_t tail = bytes.size() - 32;
  const uint64_t at = le(bytes, tail, 8);
  const uint64_t size = le(bytes, tail + 8, 8);
  if (at > tail || size > tail - at) return;
  const uint32_t crc = crc32_of(0, std::as_bytes(std::span(bytes).subspan(at, size)));
  for (int i = 0; i < 4; ++i) bytes[tail + 16 + i] = static_cast<char>(crc >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Fixture fixture;
  std::string bytes;
  if (size > 0 && data[0] == 0) {
    bytes.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  } else {
    bytes = fixture.index;
    for (size_t i = 0; i + 5 <= size; i += 5) {
      const uint32_t at =
          data[i] | data[i + 1] << 8 | data[i + 2] << 16 | uint32_t{data[i + 3]} << 24;
      bytes[at % bytes.size()] = static_cast<char>(bytes[at % bytes.size()] ^ data[i + 4]);
    }
    set_crc(bytes);
  }
  ArchiveIndex index;
  if (!read_index(memory(bytes), &index)) return 0;
  auto stream = std::make_shared<const StreamIndex>(std::move(index.stream));
  for (const ArchiveMember& m : index.members) {
    MemberStream s;
    s.file = fixture.archive;
    s.wrapper = Inflater::Wrapper::gzip;
    s.input_end = fixture.archive_size;
    s.index = stream;
    s.start = m.data;
    s.size = std::min<int64_t>(m.size, int64_t{1} << 20);
    const auto member = inflated_member(m.name, std::move(s));
    // Forward, then again from the middle: each byte delivered is the stream's own.
    for (int64_t from : {int64_t{0}, m.size / 2}) {
      std::string got(static_cast<size_t>(
                          std::max<int64_t>(0, std::min<int64_t>(m.size, int64_t{1} << 20) - from)),
                      '\0');
      std::span<std::byte> piece = std::as_writable_bytes(std::span(got));
      size_t n = 0;
      if (!member->read_at(from, std::span(&piece, 1), &n).ok()) continue;
      const int64_t begin = m.data + from;
      for (size_t i = 0; i < n; ++i) {
        const auto at = static_cast<size_t>(begin) + i;
        if (at >= fixture.decoded.size() || got[i] != fixture.decoded[at]) __builtin_trap();
      }
    }
  }
  return 0;
}
