// Differential fuzz target: random text in each encoding, read in random
// chunk sizes through random buffer sizes, goes through the real stream
// layer and the strip pass, and must come out as the plain-rules model
// says; stripped again, the new text needs no change.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rewrite/reference_model.h"
#include "rewrite/strip_pass.h"
#include "streams/test_string_file.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// The file: the byte-order mark that selector & 7 chooses (none for 0, 6
// and 7), then the rest of the data, either as it is or, when selector & 8
// and the mark is for UTF-16 or UTF-32, as one code unit per byte, taken
// from a list of those that trip up code that mistakes one width for another,
// then (selector >> 4) % width stray bytes that make no whole unit.
std::string make_file(std::uint8_t selector, const std::uint8_t* data, std::size_t size) {
  static const char* const marks[] = {
      "", "\xef\xbb\xbf", "\xff\xfe", "\xfe\xff", "\xff\xfe\0\0", "\0\0\xfe\xff", "", ""};
  static const std::size_t mark_sizes[] = {0, 3, 2, 2, 4, 4, 0, 0};
  static const std::uint32_t tricky[] = {0x20,   0x20,       0x20,       0x0d,      0x0a,   0x0d,
                                         0x0a,   0x09,       0x00,       0x2000,    0x0a00, 0x0a0d,
                                         0x0d0a, 0x200a,     0xd80a,     0xdc20,    0xfeff, 0xfffe,
                                         0xd83d, 0x000a0000, 0x0020000a, 0x0d000a00};
  const std::size_t choice = selector & 7U;
  const std::size_t width = choice >= 2 && choice <= 5 ? (choice <= 3 ? 2 : 4) : 1;
  const bool big_endian = choice == 3 || choice == 5;
  std::string file(marks[choice], mark_sizes[choice]);
  if (width == 1 || (selector & 8U) == 0) {
    return file.append(reinterpret_cast<const char*>(data), size);
  }
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint32_t unit =
        data[i] < 3 * std::size(tricky) ? tricky[data[i] % std::size(tricky)] : data[i];
    for (std::size_t b = 0; b < width; ++b) {
      file += static_cast<char>(unit >> (8 * (big_endian ? width - 1 - b : b)) & 0xffU);
    }
  }
  return file.append("\x0a\x20\x0d", (selector >> 4U) % width);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ostrel;
  if (size < 5) return 0;
  // The first four bytes choose the sizes, the fifth the encoding; the rest
  // makes the file.
  const std::size_t input_size = (data[0] & 0x80) != 0 ? 4096 + data[1] : 16 + data[1] % 64;
  // Wide enough for whole windows of 64 bytes, or small and odd.
  const std::size_t output_size = (data[2] & 0x80) != 0 ? 4096 + data[2] : 16 + data[2] % 64;
  // Reads of any size, or short ones.
  const std::size_t read_chunk = (data[3] & 0x80) != 0 ? SIZE_MAX : 1 + data[3] % 64;
  const std::string text = make_file(data[4], data + 5, size - 5);
  const std::string expected = reference_rewrite(text);

  // The strip pass with small, odd sizes, and its new text copied out as the
  // write-back copies it.
  StringFile target(text, read_chunk);
  StringFile work(std::string(), read_chunk);
  StringFile copy;
  std::vector<char> input_buffer(input_size);
  std::vector<char> output_buffer(output_size);
  StripOutcome outcome;
  check(strip_file(target, work, input_buffer, output_buffer, false, outcome).ok());
  const bool changed = outcome.differs;
  check(outcome.bytes_read == text.size());
  check(work.rewind().ok());
  std::uint64_t copied = 0;
  check(work.copy_to(copy, input_buffer, UINT64_MAX, copied).ok());
  check(changed == (expected != text));
  // A text that needs no change is never written to the work file.
  check(copy.bytes == (changed ? expected : std::string()));
  check(!changed || outcome.length == expected.size());

  // A second run changes nothing.
  check(reference_rewrite(expected) == expected);
  StringFile rewritten(expected, read_chunk);
  StringFile again;
  StripOutcome second;
  check(strip_file(rewritten, again, input_buffer, output_buffer, false, second).ok());
  check(!second.differs && second.bytes_read == expected.size() && again.bytes.empty());
  return 0;
}
