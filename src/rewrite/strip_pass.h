// The strip pass: the target's text, less the spaces that start its lines,
// into the work file, with CR LF line ends.
#pragma once

#include <cstddef>
#include <span>

#include "streams/buffered_stream.h"
#include "streams/error.h"
#include "streams/file_system.h"

namespace ostrel {

// The size of the line buffer the target is read through: a line piece
// holds at most LINE_BUFFER_SIZE - 1 bytes.
inline constexpr std::size_t LINE_BUFFER_SIZE = 1024;

// The number of spaces (0x20, nothing else) at the start of piece.
std::size_t strip_leading_spaces(std::span<const char> piece);

// Copies the target's line pieces into the work file, less the spaces that
// start each line. A line longer than a piece arrives in several; only the
// spaces at the start of the whole line go, however many pieces they span.
Status strip_pass(InputStream& target, OutputStream& work);

// Reads target from its current position to its end and writes its text to
// work as it is to stand in the target: without the spaces that start its
// lines, every line end as CR LF. The two buffers are the read-ahead and
// write-behind memory; input must be larger than LINE_BUFFER_SIZE.
Status strip_file(File& target, File& work, std::span<char> input, std::span<char> output);

}  // namespace ostrel
