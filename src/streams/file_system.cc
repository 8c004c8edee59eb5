#include "streams/file_system.h"

namespace ostrel {

Status File::copy_to(File& to, std::span<char> buffer) {
  for (;;) {
    std::size_t got = 0;
    if (Status status = read(buffer, got); !status.ok()) return status;
    if (got == 0) return {};
    if (Status status = to.write(buffer.first(got)); !status.ok()) return status;
  }
}

}  // namespace ostrel
