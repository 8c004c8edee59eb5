#include "streams/buffered_stream.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

template <class Units>
InputStream<Units>::InputStream(File& file, std::span<char> buffer, std::size_t line_size,
                                std::size_t begin, std::size_t end)
    : file_(file),
      buffer_(buffer),
      max_piece_(std::max(width, (line_size - 1) / width * width)),
      begin_(begin),
      end_(end),
      bytes_read_(end) {}

template <class Units>
Status InputStream<Units>::next_piece_slow(std::span<const char>& piece) {
  for (;;) {
    if (take_line(piece)) return {};
    // No LF within the limit. The unit after a full piece is in the buffer
    // and is no LF, so the piece cannot end between a CR and its LF.
    const std::size_t available = end_ - begin_;
    if (available >= max_piece_ + width || at_end_) {
      std::size_t take = std::min(available, max_piece_) / width * width;
      // At the end, the bytes of an incomplete last unit come alone.
      if (take == 0) take = available;
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

namespace {

// Where in text (which starts at the start of a line) the rewrite would
// first change something: a space that starts a line, or a LF that follows
// no CR. size if nowhere.
std::size_t first_change(const char* text, std::size_t size) {
  if (size == 0 || text[0] == ' ' || text[0] == '\n') return 0;
  // Sixteen bytes at a time, each compared with the byte before it.
  using Lanes = char __attribute__((vector_size(16)));
  constexpr Lanes lf = {'\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n',
                        '\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n'};
  const Lanes cr = lf + ('\r' - '\n');
  const Lanes space = lf + (' ' - '\n');
  std::size_t at = 1;
  for (; size - at >= sizeof(Lanes); at += sizeof(Lanes)) {
    Lanes here;
    Lanes before;
    std::memcpy(&here, text + at, sizeof here);
    std::memcpy(&before, text + at - 1, sizeof before);
    const Lanes change = ((here == lf) & (before != cr)) | ((before == lf) & (here == space));
    std::uint64_t halves[2];
    std::memcpy(halves, &change, sizeof halves);
    if ((halves[0] | halves[1]) != 0) break;
  }
  for (; at < size; ++at) {
    if ((text[at] == '\n' && text[at - 1] != '\r') || (text[at - 1] == '\n' && text[at] == ' ')) {
      return at;
    }
  }
  return size;
}

}  // namespace

template <class Units>
std::size_t InputStream<Units>::pass_unchanged_lines() {
  if constexpr (width != 1) {
    return 0;
  } else {
    const char* text = buffer_.data() + begin_;
    // The whole lines before the first change.
    std::size_t lines = first_change(text, end_ - begin_);
    while (lines > 0 && text[lines - 1] != '\n') --lines;
    begin_ += lines;
    return lines;
  }
}

template <class Units>
Status InputStream<Units>::read_more() {
  std::size_t got = 0;
  if (Status status = file_.read(buffer_.subspan(end_), got); !status.ok()) return status;
  end_ += got;
  bytes_read_ += got;
  at_end_ = got == 0;
  return {};
}

template <class Units>
OutputStream<Units>::OutputStream(File& file, std::span<char> buffer)
    : file_(file), buffer_(buffer) {}

template <class Units>
Status OutputStream<Units>::put_slow(std::span<const char> bytes) {
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

template <class Units>
Status OutputStream<Units>::diverge() {
  // Nothing is buffered while deferred, so the buffer is free for the copy.
  if (first_error_.ok() && skipped_ > 0) {
    first_error_ = source_->copy_start_to(file_, skipped_, buffer_);
  }
  flushed_ += skipped_;
  skipped_ = 0;
  source_ = nullptr;
  return first_error_;
}

template <class Units>
Status OutputStream<Units>::flush() {
  if (first_error_.ok() && used_ > 0) {
    first_error_ = file_.write(buffer_.first(used_));
    flushed_ += used_;
    used_ = 0;
  }
  return first_error_;
}

template class InputStream<Bytes>;
template class InputStream<Utf16Le>;
template class InputStream<Utf16Be>;
template class InputStream<Utf32Le>;
template class InputStream<Utf32Be>;
template class OutputStream<Bytes>;
template class OutputStream<Utf16Le>;
template class OutputStream<Utf16Be>;
template class OutputStream<Utf32Le>;
template class OutputStream<Utf32Be>;

}  // namespace ostrel
