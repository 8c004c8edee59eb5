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

InputStream::InputStream(File& file, std::span<char> buffer, LineEnds line_ends,
                         std::size_t line_size)
    : file_(file), buffer_(buffer), line_ends_(line_ends), max_piece_(line_size - 1) {}

Status InputStream::next_piece_slow(std::span<const char>& piece) {
  for (;;) {
    const char* from = buffer_.data() + begin_;
    const std::size_t available = end_ - begin_;
    const std::size_t scan = std::min(available, max_piece_);
    const auto* lf = static_cast<const char*>(std::memchr(from, '\n', scan));
    if (lf != nullptr || available >= max_piece_ || at_end_) {
      const std::size_t take = lf == nullptr ? scan : static_cast<std::size_t>(lf - from) + 1;
      piece = {from, take};
      begin_ += take;
      return {};
    }
    // The piece goes on past what is buffered: keep it whole at the front
    // of the buffer and read more behind it.
    std::memmove(buffer_.data(), from, available);
    begin_ = 0;
    end_ = available;
    if (Status status = read_more(); !status.ok()) return status;
  }
}

Status InputStream::read_more() {
  const std::size_t start = end_;
  if (held_cr_) {
    buffer_[end_++] = '\r';
    held_cr_ = false;
  }
  std::size_t got = 0;
  if (Status status = file_.read(buffer_.subspan(end_), got); !status.ok()) return status;
  if (got == 0) {
    at_end_ = true;  // a CR held back is the file's last byte: a plain CR
    return {};
  }
  end_ += got;
  if (line_ends_ == LineEnds::text) {
    end_ = start + decode_crlf(buffer_.data() + start, end_ - start, held_cr_);
  }
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
