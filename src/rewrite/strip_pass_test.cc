#include "rewrite/strip_pass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "rewrite/reference_model.h"
#include "streams/test_string_file.h"

namespace ostrel {
namespace {

using namespace std::string_literals;

struct Stripped {
  std::string text;
  bool changed = false;
};

Stripped strip(const std::string& input, std::size_t read_chunk, std::size_t input_size,
               std::size_t output_size) {
  StringFile target(input, read_chunk);
  StringFile work;
  std::vector<char> input_buffer(input_size);
  std::vector<char> output_buffer(output_size);
  Stripped stripped;
  StripOutcome outcome;
  EXPECT_TRUE(strip_file(target, work, input_buffer, output_buffer, false, outcome).ok());
  EXPECT_EQ(outcome.bytes_read, input.size());
  stripped.changed = outcome.differs;
  // A text that needs no change is not written: the target keeps it.
  stripped.text = stripped.changed ? work.bytes : input;
  EXPECT_TRUE(stripped.changed || work.bytes.empty());
  return stripped;
}

// Checks input against output read in every size up to 64 bytes and whole
// (so that a mark, a code unit and a CR LF pair are cut at every place),
// through buffers from the smallest to larger than the text, and below,
// at and above the 16 bytes the search compares at once; changed must say
// whether they differ.
void expect_stripped(const std::string& input, const std::string& output, const std::string& what) {
  EXPECT_EQ(reference_rewrite(input), output) << what << ": the model disagrees";
  std::vector<std::size_t> chunks{input.size() + 1};
  for (std::size_t chunk = 1; chunk <= std::min<std::size_t>(input.size(), 64); ++chunk) {
    chunks.push_back(chunk);
  }
  for (const std::size_t chunk : chunks) {
    for (const std::size_t input_size : {16, 17, 31, 33, 1024}) {
      const Stripped stripped =
          strip(input, chunk, input_size, chunk % 2 == 0 ? 16 + chunk % 41 : 4096);
      ASSERT_EQ(stripped.text, output)
          << what << ", read size " << chunk << ", buffer " << input_size;
      ASSERT_EQ(stripped.changed, output != input) << what << ", read size " << chunk;
    }
  }
}

// Cases that break code which reads the wrong width or byte order, or
// treats the mark as text.
TEST(StripFile, KeepsEachEncodingsCodeUnits) {
  const struct {
    const char* what;
    std::string input;
    std::string output;
  } cases[] = {
      {"UTF-16LE indent and CR LF", "\xff\xfe \0a\0\r\0\n\0b\0"s, "\xff\xfe\x61\0\r\0\n\0b\0"s},
      {"UTF-16LE mark alone", "\xff\xfe", "\xff\xfe"},
      {"UTF-16BE mark alone", "\xfe\xff", "\xfe\xff"},
      {"UTF-32LE mark alone", "\xff\xfe\0\0"s, "\xff\xfe\0\0"s},
      {"UTF-32BE mark alone", "\0\0\xfe\xff"s, "\0\0\xfe\xff"s},
      {"UTF-8 mark alone", "\xef\xbb\xbf", "\xef\xbb\xbf"},
      {"UTF-16LE mark, empty line", "\xff\xfe\n\0"s, "\xff\xfe\r\0\n\0"s},
      {"UTF-16BE mark, line of spaces", "\xfe\xff\0 \0 "s, "\xfe\xff"},
      {"UTF-32LE mark, empty line", "\xff\xfe\0\0\n\0\0\0"s, "\xff\xfe\0\0\r\0\0\0\n\0\0\0"s},
      {"UTF-32BE mark, CR LF", "\0\0\xfe\xff\0\0\0\r\0\0\0\n"s, "\0\0\xfe\xff\0\0\0\r\0\0\0\n"s},
      {"UTF-8 mark, indented lines", "\xef\xbb\xbf  x\n  y", "\xef\xbb\xbfx\r\ny"},
      {"UTF-8 mark, empty line", "\xef\xbb\xbf\n", "\xef\xbb\xbf\r\n"},
      {"half a UTF-8 mark is bytes", "\xef\xbb  x", "\xef\xbb  x"},
      {"a mark after spaces keeps them", "  \xff\xfe x", "  \xff\xfe x"},
      {"UTF-16LE U+0000 after spaces keeps them", "\xff\xfe \0\0\0x\0"s, "\xff\xfe \0\0\0x\0"s},
      {"FF FE 00 is UTF-16 and a stray byte", "\xff\xfe\0"s, "\xff\xfe\0"s},
      {"00 00 FE is bytes", "\0\0\xfe  "s, "\0\0\xfe  "s},
      {"UTF-16BE U+0000 after the mark", "\xfe\xff\0\0\0 "s, "\xfe\xff\0\0\0 "s},
      {"UTF-32LE: 20 00 is no whole unit", "\xff\xfe\0\0 \0"s, "\xff\xfe\0\0 \0"s},
      {"UTF-16LE U+0D00 then LF is no CR LF", "\xff\xfe\0\r\n\0"s, "\xff\xfe\0\r\r\0\n\0"s},
      {"UTF-16LE U+0A0D, U+200A, U+2000", "\xff\xfe\r\n \0\n \n\0\0 "s,
       "\xff\xfe\r\n \0\n \r\0\n\0\0 "s},
      {"UTF-16LE U+0A20 after a space", "\xff\xfe \0 \nx\0y\0z\0"s, "\xff\xfe \nx\0y\0z\0"s},
      {"UTF-16LE U+0A41 U+2000 hold 0A 00", "\xff\xfe\x41\n\0 "s, "\xff\xfe\x41\n\0 "s},
      {"UTF-16BE U+4100 U+0A41 hold 00 0A", "\xfe\xff\x41\0\n\x41"s, "\xfe\xff\x41\0\n\x41"s},
      {"UTF-16BE U+2000 at a line start", "\xfe\xff \0\0x"s, "\xfe\xff \0\0x"s},
      {"UTF-16BE U+0A00 is no LF", "\xfe\xff\0a\n\0\0b"s, "\xfe\xff\0a\n\0\0b"s},
      {"UTF-32LE U+0020000A is no LF or space", "\xff\xfe\0\0\n\0 \0 \0\0\0"s,
       "\xff\xfe\0\0\n\0 \0 \0\0\0"s},
      {"UTF-32BE U+000A0000 is no LF", "\0\0\xfe\xff\0\0\0 \0\n\0\0"s, "\0\0\xfe\xff\0\n\0\0"s},
      {"UTF-16LE surrogate pairs at line starts", "\xff\xfe \0 \0=\xd8\0\xde\n\0 \0=\xd8\0\xde"s,
       "\xff\xfe=\xd8\0\xde\r\0\n\0=\xd8\0\xde"s},
      {"UTF-16BE surrogate pair after spaces", "\xfe\xff\0 \xd8=\xde\0"s, "\xfe\xff\xd8=\xde\0"s},
      {"UTF-16LE surrogates with 0A and 20 bytes", "\xff\xfe\n\xd8 \xdc\n\0 \xdc"s,
       "\xff\xfe\n\xd8 \xdc\r\0\n\0 \xdc"s},
      {"UTF-16LE odd final byte after a space", "\xff\xfe \0x\0 "s, "\xff\xfex\0 "s},
      {"UTF-16LE odd final byte at a line start", "\xff\xfe\n\0 "s, "\xff\xfe\r\0\n\0 "s},
      {"UTF-16LE U+0A41 and a stray 00", "\xff\xfe\x41\n\0"s, "\xff\xfe\x41\n\0"s},
      {"UTF-16LE CR and half a LF", "\xff\xfe\r\0\n"s, "\xff\xfe\r\0\n"s},
      {"UTF-32LE three stray bytes", "\xff\xfe\0\0 \0\0\0\n\0\0"s, "\xff\xfe\0\0\n\0\0"s},
      {"UTF-16LE lone CR, CR CR LF", "\xff\xfe \0\r\0 \0\r\0\r\0\n\0 \0"s,
       "\xff\xfe\r\0 \0\r\0\r\0\n\0"s},
      {"UTF-16LE U+FEFF and NUL are text", "\xff\xfe\xff\xfe \0\0\0"s, "\xff\xfe\xff\xfe \0\0\0"s},
  };
  for (const auto& c : cases) expect_stripped(c.input, c.output, c.what);
}

std::string spell(std::string bytes, std::size_t width, bool big_endian, std::u32string_view text) {
  for (const char32_t unit : text) {
    for (std::size_t b = 0; b < width; ++b) {
      bytes += static_cast<char>(unit >> (8 * (big_endian ? width - 1 - b : b)) & 0xff);
    }
  }
  return bytes;
}

const struct Encoding {
  const char* name;
  std::string mark;
  std::size_t width;
  bool big_endian;
} encodings[] = {
    {"bytes", "", 1, false},
    {"UTF-8", "\xef\xbb\xbf", 1, false},
    {"UTF-16LE", "\xff\xfe", 2, false},
    {"UTF-16BE", "\xfe\xff", 2, true},
    {"UTF-32LE", "\xff\xfe\0\0"s, 4, false},
    {"UTF-32BE", "\0\0\xfe\xff"s, 4, true},
};

// Files that need no change, and files that differ from one in exactly one
// place (a space, or a LF alone, at the start, the middle and the end), in
// every encoding: the first are written as they are and not changed, the
// second become the file they differ from.
TEST(StripFile, SaysWhetherTheTextChanged) {
  const std::u32string base = U"\r\na\r\n\tb c\r\n\r\rd\r\n";
  const std::u32string long_line = std::u32string(3000, U'x') + U"  \r\n";
  const struct {
    std::u32string input;
    std::u32string output;
  } cases[] = {
      {U"", U""},
      {U"x", U"x"},
      {U"\r", U"\r"},
      {long_line, long_line},
      {base, base},
      {U" " + base, base},
      {U"\r\na\r\n \tb c\r\n\r\rd\r\n", base},
      {base + U" ", base},
      {U"\na\r\n\tb c\r\n\r\rd\r\n", base},
      {U"\r\na\r\n\tb c\n\r\rd\r\n", base},
      {U"\r\na\r\n\tb c\r\n\r\rd\n", base},
      {U" a\n", U"a\r\n"},  // as long as it was, and changed
  };

  for (const auto& e : encodings) {
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      const std::string input = spell(e.mark, e.width, e.big_endian, cases[i].input);
      const std::string output = spell(e.mark, e.width, e.big_endian, cases[i].output);
      expect_stripped(input, output, e.name + (", case " + std::to_string(i)));
    }
  }
}

// Random text of many windows in each encoding, with indents and lines
// longer than one, and that text once stripped (which needs no change),
// through every buffer size from the smallest to past two windows and some
// larger ones, so that windows, reads and held-back CRs fall at every place
// against the model.
TEST(StripFile, MatchesTheModelThroughEveryBufferSize) {
  const char32_t alphabet[] = {U' ', U' ',  U' ',   U' ',   U'\r',  U'\n',  U'\n',
                               U'a', U'\t', 0x0a00, 0x200a, 0x0d0a, 0x2000, 0x000a0000};
  std::mt19937 random(7);
  for (const auto& e : encodings) {
    std::u32string units;
    for (int i = 0; i < 400; ++i) {
      const auto pick = random() % (e.width == 1 ? 9 : std::size(alphabet) - (e.width == 2));
      units += alphabet[pick];
      // Now and then an indent longer than a window.
      if (i % 100 == 50) units += U"\n" + std::u32string(70, U' ');
      // And lines of up to a few windows.
      if (i % 50 == 25) units += std::u32string(random() % 200, U'x') + U"\n";
    }
    const std::string input = spell(e.mark, e.width, e.big_endian, units);
    const std::string output = reference_rewrite(input);
    for (const std::string& text : {input, output}) {
      for (std::size_t input_size = 16; input_size <= 1000;
           input_size += input_size < 160 ? 1 : 61) {
        const Stripped stripped =
            strip(text, input_size % 2 == 0 ? text.size() : 7, input_size,
                  input_size % 3 == 0 ? 16 + input_size % 50 : 4 * input_size);
        ASSERT_EQ(stripped.text, output) << e.name << ", buffer " << input_size;
        ASSERT_EQ(stripped.changed, text != output) << e.name << ", buffer " << input_size;
      }
    }
  }
}

}  // namespace
}  // namespace ostrel
