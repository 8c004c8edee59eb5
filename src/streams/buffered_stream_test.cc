#include "streams/buffered_stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "streams/memory_file_system.h"

namespace ostrel {
namespace {

using namespace std::string_literals;

struct Source {
  MemoryFileSystem fs;
  std::unique_ptr<File> file;

  explicit Source(const std::string& bytes, std::size_t read_chunk = std::size_t(-1)) {
    fs.put("f", bytes);
    fs.read_chunk = read_chunk;
    EXPECT_TRUE(fs.open_for_update("f", file, true).ok());
  }
};

std::vector<std::string> read_pieces(const std::string& bytes, std::size_t buffer_size,
                                     std::size_t read_chunk, std::size_t line_size) {
  Source source(bytes, read_chunk);
  std::vector<char> buffer(buffer_size);
  InputStream<Bytes> in(*source.file, buffer, line_size);
  std::vector<std::string> pieces;
  for (;;) {
    std::span<const char> piece;
    EXPECT_TRUE(in.next_piece(piece).ok());
    if (piece.empty()) {
      EXPECT_EQ(in.bytes_read(), bytes.size());
      return pieces;
    }
    pieces.emplace_back(piece.data(), piece.size());
  }
}

struct PieceCase {
  const char* what;
  std::string input;
  std::size_t buffer_size;
  std::size_t read_chunk;
  std::size_t line_size;
  std::vector<std::string> pieces;
};

TEST(InputStream, ReadsPiecesByTheLineReaderRules) {
  const std::string s1022(1022, 's');
  const std::string s1023(1023, 's');
  const PieceCase cases[] = {
      {"empty file", "", 64, 64, 1024, {}},
      {"last line without LF", "a\nb", 64, 64, 1024, {"a\n", "b"}},
      {"1022 + LF is one piece", s1022 + "\n", 4096, 4096, 1024, {s1022 + "\n"}},
      {"1023 + LF is two", s1023 + "\n", 4096, 4096, 1024, {s1023, "\n"}},
      {"piece across fills",
       "ab" + s1022 + "\n",
       1025,
       1000,
       1024,
       {"ab" + std::string(1021, 's'), "s\n"}},
      {"long line cut by limit", "abcdefg\n", 64, 64, 4, {"abc", "def", "g\n"}},
      {"CR LF read as LF", "a\r\nb\r\n", 64, 64, 1024, {"a\n", "b\n"}},
      {"CR LF split across reads", "ab\r\ncd", 64, 3, 1024, {"ab\n", "cd"}},
      {"CR LF split across fills", "ab\r\ncd", 5, 3, 4, {"ab\n", "cd"}},
      {"one byte per read", "\r\n\r\nx\r", 3, 1, 2, {"\n", "\n", "x", "\r"}},
      {"CR as last byte", "ab\r", 64, 64, 1024, {"ab\r"}},
      {"CR alone as last read", "ab\r", 64, 2, 1024, {"ab\r"}},
      {"lone CR mid-line", "a\rb\n", 64, 64, 1024, {"a\rb\n"}},
      {"CR CR LF", "a\r\r\nb", 64, 1, 1024, {"a\r\n", "b"}},
      {"CR held then CR", "\r\r", 4, 1, 3, {"\r\r"}},
      {"NUL and Ctrl-Z are bytes", "a\0b\x1a\nc\x1a"s, 64, 64, 1024, {"a\0b\x1a\n"s, "c\x1a"}},
  };
  for (const PieceCase& c : cases) {
    EXPECT_EQ(read_pieces(c.input, c.buffer_size, c.read_chunk, c.line_size), c.pieces) << c.what;
  }
}

// Random bytes rich in CR and LF, read through random buffer and read sizes,
// must come out as the obvious conversion, cut at LF and at the limit.
TEST(InputStream, MatchesModelOnRandomInput) {
  std::mt19937 random(12345);
  const std::string alphabet = "\r\n\r\nab \0"s;
  for (int round = 0; round < 2000; ++round) {
    std::string input(random() % 200, '\0');
    for (char& c : input) c = alphabet[random() % alphabet.size()];
    const std::size_t line_size = 2 + random() % 10;
    const std::size_t buffer_size = line_size + 1 + random() % 20;
    const std::size_t read_chunk = 1 + random() % 25;

    std::string decoded;
    for (std::size_t i = 0; i < input.size(); ++i) {
      if (!(input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n')) decoded += input[i];
    }
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < decoded.size();) {
      std::size_t end = decoded.find('\n', i);
      end = std::min({end == std::string::npos ? decoded.size() : end + 1, i + line_size - 1});
      expected.push_back(decoded.substr(i, end - i));
      i = end;
    }
    ASSERT_EQ(read_pieces(input, buffer_size, read_chunk, line_size), expected)
        << "round " << round;
  }
}

TEST(InputStream, ReportsReadError) {
  Source source("abc\n", 1);
  source.fs.faults = {Fault{Call::read, 2, EIO}};
  std::vector<char> buffer(8);
  InputStream<Bytes> in(*source.file, buffer, 4);
  std::span<const char> piece;
  const Status status = in.next_piece(piece);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().operation, Operation::read);
  EXPECT_EQ(status.error().code, EIO);
}

template <class Units>
std::string write_pieces(const std::vector<std::string>& pieces, std::size_t buffer_size) {
  MemoryFileSystem fs;
  std::unique_ptr<File> file;
  EXPECT_TRUE(fs.create_new("f", file).ok());
  std::vector<char> buffer(buffer_size);
  OutputStream<Units> out(*file, buffer);
  for (const std::string& piece : pieces) EXPECT_TRUE(out.write_piece(piece).ok());
  EXPECT_TRUE(out.flush().ok());
  EXPECT_EQ(out.bytes_written(), fs.bytes("f")->size());
  return *fs.bytes("f");
}

// A LF that ends a piece, and only such a LF, is written as CR LF, in the
// stream's own code units.
TEST(OutputStream, WritesLineEnds) {
  const struct {
    const char* what;
    std::string (*write)(const std::vector<std::string>&, std::size_t);
    std::vector<std::string> pieces;
    std::size_t buffer_size;
    std::string file;
  } cases[] = {
      {"LF becomes CR LF", write_pieces<Bytes>, {"a\n", "b\n", "c"}, 64, "a\r\nb\r\nc"},
      {"CR before it stays", write_pieces<Bytes>, {"a\r\n"}, 64, "a\r\r\n"},
      {"lone CR kept", write_pieces<Bytes>, {"\r", "x\n"}, 64, "\rx\r\n"},
      {"tiny buffer", write_pieces<Bytes>, {"\n", "\n", "ab\n"}, 1, "\r\n\r\nab\r\n"},
      {"pair split at buffer end", write_pieces<Bytes>, {"ab\n", "cd\n"}, 3, "ab\r\ncd\r\n"},
      {"NUL kept", write_pieces<Bytes>, {"\0"s}, 2, "\0"s},
      {"nothing written", write_pieces<Bytes>, {}, 4, ""},
      {"UTF-16LE LF", write_pieces<Utf16Le>, {"a\0\n\0"s}, 64, "a\0\r\0\n\0"s},
      {"UTF-16BE LF, pair split", write_pieces<Utf16Be>, {"\0\n"s}, 3, "\0\r\0\n"s},
      {"UTF-16BE U+0A00 is no LF", write_pieces<Utf16Be>, {"\n\0"s}, 64, "\n\0"s},
      {"UTF-32LE LF", write_pieces<Utf32Le>, {"\n\0\0\0"s}, 5, "\r\0\0\0\n\0\0\0"s},
      {"UTF-32BE U+000A0000 is no LF", write_pieces<Utf32Be>, {"\0\n\0\0"s}, 64, "\0\n\0\0"s},
  };
  for (const auto& c : cases) EXPECT_EQ(c.write(c.pieces, c.buffer_size), c.file) << c.what;
}

TEST(OutputStream, KeepsFirstError) {
  MemoryFileSystem fs;
  std::unique_ptr<File> file;
  ASSERT_TRUE(fs.create_new("f", file).ok());
  fs.faults = {Fault{Call::write, 1, ENOSPC, 2}};
  std::vector<char> buffer(4);
  OutputStream<Bytes> out(*file, buffer);
  EXPECT_TRUE(out.write("abc").ok());
  const Status failed = out.write("defg");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().code, ENOSPC);
  // Later calls keep reporting it, and nothing more reaches the file.
  EXPECT_FALSE(out.write("h").ok());
  const Status flushed = out.flush();
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error().code, ENOSPC);
  EXPECT_EQ(*fs.bytes("f"), "ab");
  EXPECT_EQ(fs.calls[Call::write], 1);
}

}  // namespace
}  // namespace ostrel
