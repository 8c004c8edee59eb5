// The strip pass: the target's text, less the spaces that start its lines,
// into the work file, with CR LF line ends, in the target's own encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "streams/error.h"
#include "streams/file_system.h"

namespace ostrel {

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
// The target is first only read, up to the first place where the new text
// would differ from it (a space removed, or a LF alone written as CR LF); a
// text that needs no change is so only read, and nothing is written to work.
// Otherwise the target is rewound and read again, and its new text written.
//
// The two buffers are the read-ahead and write-behind memory; each must hold
// 16 bytes or more.
//
// The new text's checksum is always taken as it is written; with sum_read,
// that of the bytes read too, as they were read for it.
struct StripOutcome {
  bool differs = false;          // whether the new text differs from the old
  std::uint64_t bytes_read = 0;  // how many bytes of the target were read
  std::uint64_t read_sum = 0;    // the checksum of those bytes, with sum_read
  std::uint64_t length = 0;      // the new text's length in bytes, once written
  std::uint64_t sum = 0;         // and its checksum
};
Status strip_file(File& target, File& work, std::span<char> input, std::span<char> output,
                  bool sum_read, StripOutcome& outcome);

}  // namespace ostrel
