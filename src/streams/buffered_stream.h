// Buffered streams over a File for a pass that works on many bytes at a
// time: the input keeps what its reader has not taken yet at the front of
// its buffer and reads more after it; the output gathers bytes in its buffer
// and hands them to the file when it is full. Neither knows what the bytes
// mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "streams/checksum.h"
#include "streams/file_system.h"

namespace ostrel {

class InputStream {
 public:
  // buffer's first `end` bytes may already hold the start of the file: they
  // come before any read. Every byte read goes into sum, if there is one.
  InputStream(File& file, std::span<char> buffer, std::size_t end = 0, Checksum* sum = nullptr)
      : file_(file), buffer_(buffer), end_(end), bytes_read_(end), sum_(sum) {
    if (sum_ != nullptr) sum_->add(buffer.first(end));
  }

  // The bytes read and not taken yet.
  std::span<const char> buffered() const { return buffer_.subspan(begin_, end_ - begin_); }
  void take(std::size_t count) { begin_ += count; }

  // Moves the bytes not taken to the front of the buffer and reads more
  // after them; at_end() once a read gives nothing.
  Status read_more();
  bool at_end() const { return at_end_; }

  // Every byte taken from the file so far, those handed over at the start
  // included.
  std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  File& file_;
  std::span<char> buffer_;
  std::size_t begin_ = 0;  // the first byte not taken
  std::size_t end_;        // one past the last byte read
  bool at_end_ = false;
  std::uint64_t bytes_read_;
  Checksum* sum_;
};

class OutputStream {
 public:
  OutputStream(File& file, std::span<char> buffer) : file_(file), buffer_(buffer) {}

  // The free part of the buffer: fill its start, then commit what was filled.
  std::span<char> room() const { return buffer_.subspan(used_); }
  void commit(std::size_t count) { used_ += count; }
  std::size_t used() const { return used_; }
  // Hands everything buffered to the file; fails with the first error, and
  // keeps failing after it.
  Status flush();
  // Of every byte handed to the file.
  const Checksum& sum() const { return sum_; }

 private:
  File& file_;
  std::span<char> buffer_;
  std::size_t used_ = 0;
  Status first_error_;
  Checksum sum_;
};

}  // namespace ostrel
