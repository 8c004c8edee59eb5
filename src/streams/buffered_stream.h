// Buffered streams over a File, with the text convention for line ends done
// here rather than by the OS, so that every platform gives the same bytes:
// a text stream reads CR LF as LF and writes LF as CR LF; a binary stream
// passes bytes through unchanged.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>

#include "streams/file_system.h"

namespace ostrel {

enum class LineEnds { binary, text };

class InputStream {
 public:
  // Pieces hold at most line_size - 1 bytes, as a line read by fgets into a
  // buffer of line_size bytes does. buffer holds the bytes read ahead and
  // must be larger than line_size; a text stream changes it in place.
  InputStream(File& file, std::span<char> buffer, LineEnds line_ends, std::size_t line_size);

  // Sets piece to the next line piece: the bytes up to and including the
  // next line feed, or line_size - 1 bytes when no line feed comes sooner, or
  // what is left at the end of the file. Every byte value, NUL included, is
  // an ordinary byte. piece is empty only at the end of the file, and stays
  // valid until the next call.
  Status next_piece(std::span<const char>& piece) {
    if (take_line(piece)) return {};
    return next_piece_slow(piece);
  }

 private:
  // Sets piece to the buffered bytes up to the next line feed and returns
  // true, when that line feed is within the limit. A CR LF pair, which a
  // text stream reads as LF, becomes LF in place: the LF takes the CR's
  // place and the piece is one shorter; it may then end one byte past the
  // limit, so the scan goes that far.
  bool take_line(std::span<const char>& piece) {
    char* from = buffer_.data() + begin_;
    const std::size_t scan = std::min(end_ - begin_, max_piece_ + 1);
    auto* lf = static_cast<char*>(std::memchr(from, '\n', scan));
    if (lf == nullptr) return false;
    auto length = static_cast<std::size_t>(lf - from) + 1;
    begin_ += length;
    if (line_ends_ == LineEnds::text && length >= 2 && lf[-1] == '\r') {
      lf[-1] = '\n';
      --length;
    } else if (length > max_piece_) {
      begin_ -= length;
      return false;
    }
    piece = {from, length};
    return true;
  }
  Status next_piece_slow(std::span<const char>& piece);
  Status read_more();

  File& file_;
  std::span<char> buffer_;
  LineEnds line_ends_;
  std::size_t max_piece_;
  std::size_t begin_ = 0;  // next byte to deliver
  std::size_t end_ = 0;    // one past the last byte to deliver
  bool at_end_ = false;
};

class OutputStream {
 public:
  OutputStream(File& file, std::span<char> buffer, LineEnds line_ends);

  // Buffers bytes; fails with the first error, and keeps failing after it.
  Status write(std::span<const char> bytes);
  // The same for a line piece, which holds a line feed only as its last
  // byte, if at all: the line end needs no search.
  Status write_piece(std::span<const char> piece) {
    if (line_ends_ == LineEnds::text && !piece.empty() && piece.back() == '\n' &&
        piece.size() < buffer_.size() - used_) {
      char* to = buffer_.data() + used_;
      std::memcpy(to, piece.data(), piece.size() - 1);
      to[piece.size() - 1] = '\r';
      to[piece.size()] = '\n';
      used_ += piece.size() + 1;
      return first_error_;
    }
    return write(piece);
  }
  // Hands everything buffered to the file.
  Status flush();

 private:
  Status put(std::span<const char> bytes) {
    if (bytes.size() <= buffer_.size() - used_) {
      std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
      used_ += bytes.size();
      return first_error_;
    }
    return put_slow(bytes);
  }
  Status put_slow(std::span<const char> bytes);

  File& file_;
  std::span<char> buffer_;
  LineEnds line_ends_;
  std::size_t used_ = 0;
  Status first_error_;
};

}  // namespace ostrel
