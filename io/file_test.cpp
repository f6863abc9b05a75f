#include "io/file.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "io/source.hpp"
#include "tests/tile_writer.hpp"

namespace demstitch {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::string text(const std::vector<std::byte>& bytes, size_t n) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), n);
}

TEST(File, PiecesAreFilledInOrderUntilTheFileEnds) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 300; ++i) content += static_cast<char>('a' + i % 26);
  write_file(dir / "f", content);
  File file;
  ASSERT_TRUE(File::open_for_reading(dir / "f", &file).ok());
  // 200 pieces of 2 bytes (more than one batch of the vectored read), an empty one among them.
  std::vector<std::byte> buffer(400);
  std::vector<std::span<std::byte>> pieces;
  for (size_t i = 0; i < 200; ++i) pieces.push_back(std::span(buffer).subspan(2 * i, 2));
  pieces.insert(pieces.begin() + 3, std::span<std::byte>());
  size_t got = 0;
  ASSERT_TRUE(file.read_pieces_at(10, pieces, &got).ok());
  EXPECT_EQ(got, 290u);  // the file ends before the pieces do
  EXPECT_EQ(text(buffer, got), content.substr(10));
  ASSERT_TRUE(file.read_at(299, std::span(buffer).first(5), &got).ok());
  EXPECT_EQ(got, 1u);
  ASSERT_TRUE(file.read_at(1000, std::span(buffer).first(5), &got).ok());
  EXPECT_EQ(got, 0u);
}

TEST(File, FailuresCarryKindSideAndTheKnownName) {
  TempDir dir;
  File file;
  Status missing = File::open_for_reading(dir / "none", &file);
  EXPECT_EQ(missing.kind(), StatusKind::not_found);
  EXPECT_EQ(missing.side(), Side::input);
  EXPECT_EQ(missing.message(), (dir / "none") + ": No such file or directory");
  Status folder = File::open_for_reading(dir.path().string(), &file);
  EXPECT_EQ(folder.kind(), StatusKind::io_error);
  EXPECT_EQ(folder.detail(), "Is a directory");

  write_file(dir / "taken", "x");
  Status exists = File::create_new(dir / "taken", "RESULT", &file);
  EXPECT_EQ(exists.side(), Side::output);
  EXPECT_EQ(exists.message(), "RESULT: File exists");
}

TEST(File, WritesLandByOffsetAndCloseReports) {
  TempDir dir;
  File out;
  ASSERT_TRUE(File::create_new(dir / "out", "out", &out).ok());
  ASSERT_TRUE(out.reserve(8).ok());
  const std::string a = "abcd", b = "XY";
  ASSERT_TRUE(out.write_all(std::as_bytes(std::span(a))).ok());
  ASSERT_TRUE(out.write_at(6, std::as_bytes(std::span(b))).ok());
  int64_t size = 0;
  ASSERT_TRUE(out.size(&size).ok());
  EXPECT_EQ(size, 8);
  EXPECT_TRUE(out.close().ok());
  EXPECT_TRUE(out.close().ok());  // closing twice is harmless
  EXPECT_EQ(read_file(dir / "out"), std::string("abcd\0\0XY", 8));
}

TEST(Source, UpperCaseNamesAreTheFallback) {
  TempDir dir;
  write_file(dir / "T.HDR", "upper");
  FileOpener opener;
  std::unique_ptr<Source> source;
  std::string path;
  ASSERT_TRUE(open_either_case(opener, dir / "T", ".hdr", ".HDR", &source, &path).ok());
  // Where names ignore case (Windows), the lower-case name opens the file already.
  const bool ignores_case = std::filesystem::exists(dir / "T.hdr");
  EXPECT_EQ(path, dir / (ignores_case ? "T.hdr" : "T.HDR"));
  EXPECT_EQ(source->name(), path);
  Status s = open_either_case(opener, dir / "U", ".hdr", ".HDR", &source, &path);
  EXPECT_EQ(s.kind(), StatusKind::not_found);
  EXPECT_EQ(path, (dir / "U.hdr"));
}

}  // namespace
}  // namespace demstitch
