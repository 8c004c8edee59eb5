#include "rewrite/strip_pass.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "streams/buffered_stream.h"
#include "streams/code_units.h"

namespace ostrel {

namespace {

// The number of bytes of the space code units at the start of piece.
template <class Units>
std::size_t leading_spaces(std::span<const char> piece) {
  constexpr std::size_t width = Units::width;
  // Eight bytes at a time: indents are often long, and this is the hot path.
  constexpr std::uint64_t spaces = Units::repeated(Units::space);
  std::size_t count = 0;
  for (; piece.size() - count >= sizeof spaces; count += sizeof spaces) {
    std::uint64_t word = 0;
    std::memcpy(&word, piece.data() + count, sizeof word);
    if (const std::uint64_t other = word ^ spaces; other != 0) {
      const int first = std::endian::native == std::endian::little ? std::countr_zero(other)
                                                                   : std::countl_zero(other);
      return count + static_cast<std::size_t>(first) / 8 / width * width;
    }
  }
  while (piece.size() - count >= width && Units::is(piece.data() + count, Units::space)) {
    count += width;
  }
  return count;
}

// At the start of a line, writes every whole line buffered now to work,
// less the spaces it starts with and with CR LF for its line end, in one
// sweep: the path most bytes of a file that changes take.
Status strip_buffered_lines(InputStream<Bytes>& target, OutputStream<Bytes>& work) {
  const std::span<char> text = target.buffered();
  const char* line = text.data();
  const char* const end = text.data() + text.size();
  for (;;) {
    const auto* lf = static_cast<const char*>(std::memchr(line, '\n', end - line));
    if (lf == nullptr) break;
    const auto length = static_cast<std::size_t>(lf - line);
    const std::size_t indent = leading_spaces<Bytes>({line, length});
    // A CR just before the LF is part of the line end (it is no space, so
    // it is never stripped).
    const std::size_t cr = length > indent && lf[-1] == '\r' ? 1 : 0;
    if (Status status = work.write_line({line + indent, length - indent - cr}); !status.ok()) {
      return status;
    }
    line = lf + 1;
  }
  target.take(static_cast<std::size_t>(line - text.data()));
  return {};
}

// Copies the target's line pieces into the work file, less the spaces that
// start each line. A line longer than a piece arrives in several; only the
// spaces at the start of the whole line go, however many pieces they span.
// While the work file is deferred, a piece that stays as it stood in the
// target is only counted.
template <class Units>
Status strip_pass(InputStream<Units>& target, OutputStream<Units>& work) {
  bool in_indent = true;
  std::uint64_t piece_start = target.consumed();
  for (;;) {
    // While nothing has changed, a line start is where in_indent is.
    if (work.deferred() && in_indent) {
      work.skip(target.pass_unchanged_lines());
      piece_start = target.consumed();
    }
    if constexpr (std::is_same_v<Units, Bytes>) {
      if (!work.deferred() && in_indent) {
        if (Status status = strip_buffered_lines(target, work); !status.ok()) return status;
      }
    }
    std::span<const char> piece;
    if (Status status = target.next_piece(piece); !status.ok()) return status;
    if (piece.empty()) return work.flush();
    const std::size_t strip = in_indent ? leading_spaces<Units>(piece) : 0;
    const bool line_end = piece.size() >= Units::width &&
                          Units::is(piece.data() + piece.size() - Units::width, Units::lf);
    in_indent = line_end || (in_indent && strip == piece.size());
    if (work.deferred()) {
      // Unchanged when nothing is stripped and the line end, if any, was
      // CR LF already: then it is as long as it stood.
      const std::uint64_t piece_end = target.consumed();
      const std::size_t written = piece.size() + (line_end ? Units::width : 0);
      if (strip == 0 && piece_end - piece_start == written) {
        work.skip(written);
        piece_start = piece_end;
        continue;
      }
      if (Status status = work.diverge(); !status.ok()) return status;
    }
    if (Status status = work.write_piece(piece.subspan(strip)); !status.ok()) return status;
  }
}

// The strip pass in one encoding. input's first `buffered` bytes were read
// already; the first mark_size of them are the byte-order mark.
template <class Units>
Status strip_text(File& target, File& work, std::span<char> input, std::span<char> output,
                  std::size_t line_size, std::size_t mark_size, std::size_t buffered,
                  StripOutcome& outcome) {
  InputStream<Units> from(target, input, line_size, mark_size, buffered);
  OutputStream<Units> to(work, output);
  // Nothing reaches the work file until the text first differs from the
  // target's: a file that needs no change is only read. The mark stays.
  to.defer_to(target);
  to.skip(mark_size);
  Status status = strip_pass(from, to);
  outcome.changed = !to.deferred();
  outcome.bytes_read = from.bytes_read();
  return status;
}

}  // namespace

Status strip_file(File& target, File& work, std::span<char> input, std::span<char> output,
                  StripOutcome& outcome, std::size_t line_size) {
  // The work file receives the text exactly as it is to stand in the target,
  // CR LF line ends included, so that copying it back is a plain copy.
  //
  // The byte-order mark is within the first four bytes. The first read asks
  // for a full buffer, as every later one does; only a read that returns
  // fewer than four bytes is followed by another before the mark is known.
  std::size_t buffered = 0;
  std::size_t got = 0;
  do {
    if (Status status = target.read(input.subspan(buffered), got); !status.ok()) return status;
    buffered += got;
  } while (buffered < 4 && got != 0);
  const ByteOrderMark mark = byte_order_mark(input.first(std::min<std::size_t>(buffered, 4)));
  const auto strip = [&](auto units) {
    return strip_text<decltype(units)>(target, work, input, output, line_size, mark.size, buffered,
                                       outcome);
  };
  switch (mark.encoding) {
    case Encoding::utf16le:
      return strip(Utf16Le{});
    case Encoding::utf16be:
      return strip(Utf16Be{});
    case Encoding::utf32le:
      return strip(Utf32Le{});
    case Encoding::utf32be:
      return strip(Utf32Be{});
    case Encoding::bytes:
    case Encoding::utf8:
      break;
  }
  return strip(Bytes{});
}

}  // namespace ostrel
