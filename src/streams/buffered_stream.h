// Buffered streams over a File, with the text convention for line ends done
// here rather than by the OS, so that every platform gives the same bytes:
// a text stream reads CR LF as LF and writes LF as CR LF; a binary stream
// passes bytes through unchanged.
#pragma once

#include <cstddef>
#include <span>

#include "streams/file_system.h"

namespace ostrel {

enum class LineEnds { binary, text };

class InputStream {
 public:
  // buffer holds the bytes read ahead; it needs room for at least two.
  InputStream(File& file, std::span<char> buffer, LineEnds line_ends);

  // Reads one line piece into line, the way fgets does with the limit
  // line.size(): up to line.size() - 1 bytes, ending early just after a line
  // feed or at the end of the file, followed by a NUL. Every byte value, NUL
  // included, is an ordinary byte. length is 0 only at the end of the file.
  Status read_piece(std::span<char> line, std::size_t& length);

 private:
  Status fill();

  File& file_;
  std::span<char> buffer_;
  LineEnds line_ends_;
  std::size_t begin_ = 0;  // next byte to deliver
  std::size_t end_ = 0;    // one past the last byte to deliver
  bool held_cr_ = false;   // a CR ended the last read; what follows decides
  bool at_end_ = false;
};

class OutputStream {
 public:
  OutputStream(File& file, std::span<char> buffer, LineEnds line_ends);

  // Buffers bytes; fails with the first error, and keeps failing after it.
  Status write(std::span<const char> bytes);
  // Hands everything buffered to the file.
  Status flush();

 private:
  Status put(std::span<const char> bytes);

  File& file_;
  std::span<char> buffer_;
  LineEnds line_ends_;
  std::size_t used_ = 0;
  Status first_error_;
};

}  // namespace ostrel
