#include "streams/buffered_stream.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

InputStream::InputStream(File& file, std::span<char> buffer, LineEnds line_ends,
                         std::size_t line_size)
    : file_(file), buffer_(buffer), line_ends_(line_ends), max_piece_(line_size - 1) {}

Status InputStream::next_piece_slow(std::span<const char>& piece) {
  for (;;) {
    if (take_line(piece)) return {};
    // No line feed within the limit: a full piece, or the file's last one.
    const std::size_t available = end_ - begin_;
    if (available > max_piece_ || at_end_) {
      const std::size_t take = std::min(available, max_piece_);
      piece = {buffer_.data() + begin_, take};
      begin_ += take;
      return {};
    }
    // The piece goes on past what is buffered: keep it whole at the front
    // of the buffer, so that a CR and the LF after it meet, and read more.
    std::memmove(buffer_.data(), buffer_.data() + begin_, available);
    begin_ = 0;
    end_ = available;
    if (Status status = read_more(); !status.ok()) return status;
  }
}

Status InputStream::read_more() {
  std::size_t got = 0;
  if (Status status = file_.read(buffer_.subspan(end_), got); !status.ok()) return status;
  end_ += got;
  at_end_ = got == 0;
  return {};
}

OutputStream::OutputStream(File& file, std::span<char> buffer, LineEnds line_ends)
    : file_(file), buffer_(buffer), line_ends_(line_ends) {}

Status OutputStream::write(std::span<const char> bytes) {
  if (line_ends_ == LineEnds::binary) return put(bytes);
  static constexpr char crlf[] = {'\r', '\n'};
  for (;;) {
    const auto* lf = static_cast<const char*>(std::memchr(bytes.data(), '\n', bytes.size()));
    if (lf == nullptr) return put(bytes);
    const auto before = static_cast<std::size_t>(lf - bytes.data());
    if (Status status = put(bytes.first(before)); !status.ok()) return status;
    if (Status status = put(crlf); !status.ok()) return status;
    bytes = bytes.subspan(before + 1);
  }
}

Status OutputStream::put_slow(std::span<const char> bytes) {
  while (!bytes.empty()) {
    if (used_ == buffer_.size()) {
      if (Status status = flush(); !status.ok()) return status;
    }
    const std::size_t take = std::min(buffer_.size() - used_, bytes.size());
    std::memcpy(buffer_.data() + used_, bytes.data(), take);
    used_ += take;
    bytes = bytes.subspan(take);
  }
  return first_error_;
}

Status OutputStream::flush() {
  if (first_error_.ok() && used_ > 0) {
    first_error_ = file_.write(buffer_.first(used_));
    used_ = 0;
  }
  return first_error_;
}

}  // namespace ostrel
