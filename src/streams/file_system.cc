#include "streams/file_system.h"

#include <algorithm>

namespace ostrel {

Status File::copy_to(File& to, std::span<char> buffer, std::uint64_t limit, std::uint64_t& copied) {
  for (std::uint64_t left = limit; left > 0;) {
    std::size_t got = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left));
    if (Status status = read(buffer.first(want), got); !status.ok()) return status;
    if (got == 0) return {};
    if (Status status = to.write(buffer.first(got)); !status.ok()) return status;
    copied += got;
    left -= got;
  }
  return {};
}

Error error_in(const File& file, Operation operation, int code) {
  return Error{operation, file.path(), code, file.is_work_file()};
}

Status FileSystem::identity_of(const std::filesystem::path& path, FileIdentity& identity) {
  FileState state;
  Status status = state_of(path, state);
  identity = state.identity;
  return status;
}

Status FileSystem::names_in(const std::filesystem::path& dir, const std::string& prefix,
                            std::vector<std::string>& names) {
  names.clear();
  std::error_code error;
  for (std::filesystem::directory_iterator entry(dir, error), end; !error && entry != end;
       entry.increment(error)) {
    std::string name = utf8_of(entry->path().filename());
    if (name.starts_with(prefix)) names.push_back(std::move(name));
  }
  return error ? Error{Operation::list, utf8_of(dir), error.value()} : Status{};
}

}  // namespace ostrel
