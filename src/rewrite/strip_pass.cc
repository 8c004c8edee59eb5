#include "rewrite/strip_pass.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace ostrel {

Status strip_pass(InputStream& target, OutputStream& work) {
  bool in_indent = true;
  for (;;) {
    std::span<const char> piece;
    if (Status status = target.next_piece(piece); !status.ok()) return status;
    if (piece.empty()) return work.flush();
    const std::size_t strip = in_indent ? strip_leading_spaces(piece) : 0;
    in_indent = piece.back() == '\n' || (in_indent && strip == piece.size());
    if (Status status = work.write_piece(piece.subspan(strip)); !status.ok()) return status;
  }
}

std::size_t strip_leading_spaces(std::span<const char> piece) {
  // Eight bytes at a time: indents are often long, and this is the hot path.
  constexpr std::uint64_t spaces = 0x2020202020202020;
  std::size_t count = 0;
  for (; piece.size() - count >= sizeof spaces; count += sizeof spaces) {
    std::uint64_t word = 0;
    std::memcpy(&word, piece.data() + count, sizeof word);
    if (const std::uint64_t other = word ^ spaces; other != 0) {
      const int first = std::endian::native == std::endian::little ? std::countr_zero(other)
                                                                   : std::countl_zero(other);
      return count + static_cast<std::size_t>(first) / 8;
    }
  }
  while (count < piece.size() && piece[count] == ' ') ++count;
  return count;
}

Status strip_file(File& target, File& work, std::span<char> input, std::span<char> output) {
  // The work file receives the text exactly as it is to stand in the target,
  // CR LF line ends included, so that copying it back is a plain copy.
  InputStream from(target, input, LineEnds::text, LINE_BUFFER_SIZE);
  OutputStream to(work, output, LineEnds::text);
  return strip_pass(from, to);
}

}  // namespace ostrel
