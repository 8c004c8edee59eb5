#include "streams/buffered_stream.h"

#include <cstring>

namespace ostrel {

Status InputStream::read_more() {
  std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
  std::size_t got = 0;
  if (Status status = file_.read(buffer_.subspan(end_), got); !status.ok()) return status;
  if (sum_ != nullptr) sum_->add(buffer_.subspan(end_, got));
  end_ += got;
  bytes_read_ += got;
  at_end_ = got == 0;
  return {};
}

Status OutputStream::flush() {
  sum_.add(buffer_.first(used_));
  if (first_error_.ok() && used_ > 0) first_error_ = file_.write(buffer_.first(used_));
  used_ = 0;
  return first_error_;
}

}  // namespace ostrel
