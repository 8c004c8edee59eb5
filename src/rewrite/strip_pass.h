// The strip pass: the target's text, less the spaces that start its lines,
// into the work file, with CR LF line ends, in the target's own encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "streams/error.h"
#include "streams/file_system.h"

namespace ostrel {

// The size of the line buffer the target is read through: a line piece
// holds at most LINE_BUFFER_SIZE - 1 bytes.
inline constexpr std::size_t LINE_BUFFER_SIZE = 1024;

// Reads target from its current position (its start) to its end and writes
// its text to work as it is to stand in the target: without the spaces that
// start its lines, every line end as CR LF.
//
// The text is read in the encoding its byte-order mark announces, and written
// in the same encoding, mark first: UTF-16 and UTF-32 (either byte order) in
// their code units of two and four bytes, UTF-8 with a mark and anything
// without a mark as bytes. Bytes at the end too few to make a whole code
// unit are kept as they are.
//
// Until the new text first differs from what was read (a space removed, or a
// line end written as CR LF that was a LF alone), nothing is written to work:
// a text that needs no change is only read.
//
// The two buffers are the read-ahead and write-behind memory; input must
// hold line_size + 8 bytes or more. A line piece holds at most line_size - 1
// bytes.
struct StripOutcome {
  bool changed = false;          // whether the new text differs from the old
  std::uint64_t bytes_read = 0;  // how many bytes of the target were read
};
Status strip_file(File& target, File& work, std::span<char> input, std::span<char> output,
                  StripOutcome& outcome, std::size_t line_size = LINE_BUFFER_SIZE);

}  // namespace ostrel
