#include "streams/memory_file_system.h"

#include <algorithm>
#include <cerrno>

namespace ostrel {

namespace {

class MemoryFile final : public File {
 public:
  // A target file writes through to bytes; a work file owns its own.
  MemoryFile(MemoryFileSystem& fs, std::string* bytes, std::string path)
      : fs_(fs),
        bytes_(bytes != nullptr ? bytes : &own_),
        path_(std::move(path)),
        is_work_file_(bytes == nullptr) {
    if (is_work_file_) ++fs_.open_work_files;
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() override { release(); }

  Status read(std::span<char> into, std::size_t& got) override {
    got = 0;
    if (auto code = fs_.fail_now(Call::read)) return error(Operation::read, *code);
    got = std::min({into.size(), fs_.read_chunk, bytes_->size() - position_});
    std::copy_n(bytes_->data() + position_, got, into.data());
    position_ += got;
    return {};
  }

  Status write(std::span<const char> bytes) override {
    const std::optional<int> code = fs_.fail_now(Call::write);
    if (code) bytes = bytes.first(std::min(bytes.size(), fs_.lands));
    bytes_->replace(position_, std::min(bytes.size(), bytes_->size() - position_), bytes.data(),
                    bytes.size());
    position_ += bytes.size();
    if (code) return error(Operation::write, *code);
    return {};
  }

  Status rewind() override {
    if (auto code = fs_.fail_now(Call::rewind)) return error(Operation::rewind, *code);
    position_ = 0;
    return {};
  }

  const std::string& bytes() const { return *bytes_; }

  Status close() override {
    release();
    if (auto code = fs_.fail_now(Call::close)) return error(Operation::close, *code);
    return {};
  }

 private:
  void release() {
    if (is_work_file_ && !released_) --fs_.open_work_files;
    released_ = true;
  }
  Error error(Operation operation, int code) const {
    return Error{operation, path_, is_work_file_, code};
  }

  MemoryFileSystem& fs_;
  std::string own_;
  std::string* bytes_;
  std::string path_;
  bool is_work_file_;
  bool released_ = false;
  std::size_t position_ = 0;
};

}  // namespace

std::optional<int> MemoryFileSystem::fail_now(Call call) {
  log.push_back(call);
  const int count = ++calls[call];
  for (const Fault& fault : faults) {
    if (fault.call == call && fault.nth == count) {
      lands = fault.lands;
      return fault.code;
    }
  }
  return std::nullopt;
}

Status MemoryFileSystem::open_for_update(const std::string& name, std::unique_ptr<File>& file) {
  if (auto code = fail_now(Call::open_for_update))
    return Error{Operation::open, name, false, *code};
  const auto found = files.find(name);
  if (found == files.end()) return Error{Operation::open, name, false, ENOENT};
  file = std::make_unique<MemoryFile>(*this, &found->second, name);
  return {};
}

Status MemoryFileSystem::open_truncated(const std::string& name, std::unique_ptr<File>& file) {
  if (auto code = fail_now(Call::open_truncated))
    return Error{Operation::reopen, name, false, *code};
  std::string& bytes = files[name];
  bytes.clear();
  file = std::make_unique<MemoryFile>(*this, &bytes, name);
  return {};
}

Status MemoryFileSystem::create_work_file(std::unique_ptr<File>& file) {
  if (auto code = fail_now(Call::create_work_file)) {
    return Error{Operation::create_work_file, "/tmp", true, *code};
  }
  file = std::make_unique<MemoryFile>(*this, nullptr, "/tmp");
  return {};
}

}  // namespace ostrel

namespace ostrel {

Status MemoryFileSystem::save_work_file(File& work, const std::string& target_name,
                                        std::string& saved_as) {
  if (auto code = fail_now(Call::save_work_file)) {
    return Error{Operation::save, "/tmp", true, *code};
  }
  saved_as = "/tmp/" + target_name + ".ostrel-saved";
  files[saved_as] = dynamic_cast<MemoryFile&>(work).bytes();
  return {};
}

void MemoryFileSystem::hold_interrupts() {
  log.push_back(Call::hold_interrupts);
  interrupts_held = true;
}

void MemoryFileSystem::release_interrupts() {
  log.push_back(Call::release_interrupts);
  interrupts_held = false;
}

}  // namespace ostrel
