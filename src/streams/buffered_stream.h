// Buffered streams over a File that read and write text in the file's own
// code units, with the line-end convention done here rather than by the OS,
// so that every platform gives the same bytes: the input reads a CR LF pair
// as LF, the output writes a LF that ends a line piece as CR LF.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "streams/code_units.h"
#include "streams/file_system.h"

namespace ostrel {

template <class Units>
class InputStream {
 public:
  static constexpr std::size_t width = Units::width;

  // Pieces hold at most line_size - 1 bytes, as a line read by fgets into a
  // buffer of line_size bytes does, rounded down to whole code units (and
  // at least one unit). buffer holds the bytes read ahead, and changes in
  // place; it must hold line_size + 8 bytes or more. Its bytes from begin to
  // end may already hold the start of the file: they come before any read.
  InputStream(File& file, std::span<char> buffer, std::size_t line_size, std::size_t begin = 0,
              std::size_t end = 0);

  // Sets piece to the next line piece: the code units up to and including
  // the next LF, or as many whole units as a piece holds when no LF comes
  // sooner, or what is left at the end of the file. Every other unit, NUL
  // included, is ordinary. Bytes at the end of the file too few to make a
  // whole unit come alone, as the last piece. piece is empty only at the
  // end of the file, and stays valid until the next call.
  Status next_piece(std::span<const char>& piece) {
    if (take_line(piece)) return {};
    return next_piece_slow(piece);
  }

  // Every byte taken from the file so far, those handed over at the start
  // included.
  std::uint64_t bytes_read() const { return bytes_read_; }
  // Where in the file the pieces handed out so far end (a CR LF pair read
  // as LF counts as both).
  std::uint64_t consumed() const { return bytes_read_ - (end_ - begin_); }

  // Called at the start of a line: passes over the whole lines buffered now
  // that the rewrite leaves as they are (none starts with a space, each ends
  // with CR LF) without handing them out, and returns how many bytes they
  // hold. A text that needs no change is so checked many lines at a time.
  // Passes over none where units are wider than a byte.
  std::size_t pass_unchanged_lines();

  // The bytes buffered and not yet handed out, and a way to take the first
  // count of them without handing them out as pieces.
  std::span<char> buffered() const { return buffer_.subspan(begin_, end_ - begin_); }
  void take(std::size_t count) { begin_ += count; }

 private:
  // Sets piece to the buffered units up to the next LF and returns true,
  // when that LF is within the limit. A CR LF pair becomes LF in place: the
  // LF takes the CR's place and the piece is one unit shorter; it may then
  // end one unit past the limit, so the search goes that far.
  bool take_line(std::span<const char>& piece) {
    char* from = buffer_.data() + begin_;
    const std::size_t scan = std::min(end_ - begin_, max_piece_ + width);
    char* lf = Units::find_lf(from, scan);
    if (lf == nullptr) return false;
    auto length = static_cast<std::size_t>(lf - from) + width;
    if (length >= 2 * width && Units::is(lf - width, Units::cr)) {
      std::memcpy(lf - width, lf, width);
      begin_ += length;
      length -= width;
    } else if (length <= max_piece_) {
      begin_ += length;
    } else {
      return false;
    }
    piece = {from, length};
    return true;
  }
  Status next_piece_slow(std::span<const char>& piece);
  Status read_more();

  File& file_;
  std::span<char> buffer_;
  std::size_t max_piece_;
  std::size_t begin_;  // next byte to deliver
  std::size_t end_;    // one past the last byte to deliver
  bool at_end_ = false;
  std::uint64_t bytes_read_;
};

template <class Units>
class OutputStream {
 public:
  static constexpr std::size_t width = Units::width;

  OutputStream(File& file, std::span<char> buffer);

  // From here on, as long as what the stream is given is source's own first
  // bytes unchanged, it only counts them with skip(): nothing is written
  // until diverge() copies them from source, before the first byte that
  // differs. A text that never differs is never written at all.
  void defer_to(File& source) { source_ = &source; }
  bool deferred() const { return source_ != nullptr; }
  void skip(std::size_t count) { skipped_ += count; }
  Status diverge();

  // Buffers bytes as they are; fails with the first error, and keeps
  // failing after it.
  Status write(std::span<const char> bytes) { return put(bytes); }
  // The same for a line piece: a LF that ends it is written as CR LF. A
  // piece holds a LF only as its last unit, if at all: no search is needed.
  Status write_piece(std::span<const char> piece) {
    if (piece.size() < width || !Units::is(piece.data() + piece.size() - width, Units::lf)) {
      return put(piece);
    }
    return write_line(piece.first(piece.size() - width));
  }
  // Writes a line's text, then CR LF.
  Status write_line(std::span<const char> text) {
    if (text.size() + 2 * width <= buffer_.size() - used_) {
      char* to = buffer_.data() + used_;
      std::memcpy(to, text.data(), text.size());
      std::memcpy(to + text.size(), Units::cr.data(), width);
      std::memcpy(to + text.size() + width, Units::lf.data(), width);
      used_ += text.size() + 2 * width;
      return first_error_;
    }
    if (Status status = put(text); !status.ok()) return status;
    if (Status status = put(Units::cr); !status.ok()) return status;
    return put(Units::lf);
  }
  // Hands everything buffered to the file.
  Status flush();

  // Every byte given to the stream so far, flushed or not.
  std::uint64_t bytes_written() const { return flushed_ + used_ + skipped_; }

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
  std::size_t used_ = 0;
  std::uint64_t flushed_ = 0;
  File* source_ = nullptr;     // while deferred, the file whose bytes were skipped
  std::uint64_t skipped_ = 0;  // bytes counted while deferred
  Status first_error_;
};

}  // namespace ostrel
