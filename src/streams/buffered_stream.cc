#include "streams/buffered_stream.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

namespace {

// Turns each CR LF in data[0, size) into LF, in place, and returns the new
// size. A CR in the last byte cannot be judged yet: it is left out and
// held_cr is set, and the caller puts it before the next bytes it reads.
std::size_t decode_crlf(char* data, std::size_t size, bool& held_cr) {
  const auto* cr = static_cast<const char*>(std::memchr(data, '\r', size));
  if (cr == nullptr) return size;
  auto out = static_cast<std::size_t>(cr - data);
  std::size_t in = out;
  while (in < size) {
    if (data[in] == '\r') {
      if (in + 1 == size) {
        held_cr = true;
        break;
      }
      if (data[in + 1] == '\n') {
        ++in;  // drop the CR; the LF starts the next run
        continue;
      }
    }
    // Copy the run up to the next CR after this byte.
    const auto* next = static_cast<const char*>(std::memchr(data + in + 1, '\r', size - in - 1));
    const std::size_t run_end = next == nullptr ? size : static_cast<std::size_t>(next - data);
    std::memmove(data + out, data + in, run_end - in);
    out += run_end - in;
    in = run_end;
  }
  return out;
}

}  // namespace

InputStream::InputStream(File& file, std::span<char> buffer, LineEnds line_ends)
    : file_(file), buffer_(buffer), line_ends_(line_ends) {}

Status InputStream::fill() {
  begin_ = 0;
  end_ = 0;
  while (end_ == 0 && !at_end_) {
    std::size_t start = 0;
    if (held_cr_) {
      buffer_[0] = '\r';
      start = 1;
      held_cr_ = false;
    }
    std::size_t got = 0;
    if (Status status = file_.read(buffer_.subspan(start), got); !status.ok()) return status;
    end_ = start + got;
    if (got == 0) {
      at_end_ = true;  // a CR held back is the file's last byte: a plain CR
    } else if (line_ends_ == LineEnds::text) {
      end_ = decode_crlf(buffer_.data(), end_, held_cr_);
    }
  }
  return {};
}

Status InputStream::read_piece(std::span<char> line, std::size_t& length) {
  const std::size_t limit = line.size() - 1;
  std::size_t size = 0;
  Status status;
  while (size < limit) {
    if (begin_ == end_) {
      status = fill();
      if (!status.ok() || begin_ == end_) break;
    }
    const char* from = buffer_.data() + begin_;
    const std::size_t available = std::min(limit - size, end_ - begin_);
    const auto* lf = static_cast<const char*>(std::memchr(from, '\n', available));
    const std::size_t take = lf == nullptr ? available : static_cast<std::size_t>(lf - from) + 1;
    std::memcpy(line.data() + size, from, take);
    size += take;
    begin_ += take;
    if (lf != nullptr) break;
  }
  line[size] = '\0';
  length = size;
  return status;
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

Status OutputStream::put(std::span<const char> bytes) {
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
