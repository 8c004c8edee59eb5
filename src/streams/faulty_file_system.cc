#include "streams/faulty_file_system.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <utility>

#ifndef _WIN32
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace ostrel {

namespace {

std::optional<std::string> contents_of(const std::string& name) {
  std::ifstream in(path_from_utf8(name), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void put_contents(const std::string& name, const std::string& bytes) {
  std::ofstream(path_from_utf8(name), std::ios::binary | std::ios::trunc) << bytes;
}

// What an open file holds now. Read through it where the OS can without
// moving it: opening it again would wait for a lease on it.
std::string bytes_of(const File& file) {
#ifdef _WIN32
  return contents_of(file.path()).value_or("");
#else
  std::string bytes;
  char buffer[1 << 16];
  const auto fd = static_cast<int>(file.native_handle());
  for (ssize_t got = 1; got > 0;) {
    got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(bytes.size()));
    if (got > 0) bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
#endif
}

// A hold of the real file system, counted while it lasts.
class Hold final : public InterruptHold {
 public:
  Hold(int& holds, const bool& interrupt, std::unique_ptr<InterruptHold> inner)
      : holds_(holds), interrupt_(interrupt), inner_(std::move(inner)) {
    ++holds_;
  }
  ~Hold() override { --holds_; }
  bool pending() const override { return interrupt_ || inner_->pending(); }

 private:
  int& holds_;
  const bool& interrupt_;
  std::unique_ptr<InterruptHold> inner_;
};

}  // namespace

// A file whose calls pass to the real one unless failed.
class FaultyFileSystem::FaultyFile final : public File {
 public:
  FaultyFile(FaultyFileSystem& fs, std::unique_ptr<File> inner)
      : fs_(fs), inner_(std::move(inner)) {}
  ~FaultyFile() override {
    fs_.work_.erase(this);
    fs_.locks -= locked_ ? 1 : 0;
  }

  Status read(std::span<char> into, std::size_t& got) override {
    got = 0;
    if (auto error = fault(Call::read, Operation::read)) return *error;
    return inner_->read(into.first(std::min(into.size(), fs_.read_chunk)), got);
  }
  Status write(std::span<const char> bytes) override {
    const std::optional<Error> error = fault(Call::write, Operation::write);
    fs_.touched(*this);
    if (!error) return inner_->write(bytes);
    // Part of the bytes may land before the write fails.
    if (fs_.lands > 0) {
      static_cast<void>(inner_->write(bytes.first(std::min(bytes.size(), fs_.lands))));
    }
    return *error;
  }
  Status rewind() override {
    if (auto error = fault(Call::rewind, Operation::rewind)) return *error;
    return inner_->rewind();
  }
  Status truncate() override {
    if (auto error = fault(Call::truncate, Operation::truncate)) return *error;
    fs_.touched(*this);
    return inner_->truncate();
  }
  Status state(FileState& state) override {
    if (auto error = fault(Call::state, Operation::inspect)) return *error;
    Status status = inner_->state(state);
    if (status.ok() && fs_.restate) fs_.restate(state);
    return status;
  }
  // A lock is counted until the file is closed.
  Status lock(bool wait, bool& locked) override {
    if (auto error = fault(Call::lock, Operation::lock)) return *error;
    Status status = inner_->lock(wait, locked);
    if (locked && !locked_) ++fs_.locks;
    locked_ = locked_ || locked;
    return status;
  }
  Status sync() override {
    if (auto error = fault(Call::sync, Operation::sync)) return *error;
    Status status = inner_->sync();
    if (status.ok()) fs_.synced(*this);
    return status;
  }
  bool keep_openers_waiting() override { return inner_->keep_openers_waiting(); }
  bool openers_still_wait() override { return !fs_.let_in && inner_->openers_still_wait(); }
  // The copy is the real one's, kernel and all; a fault fails it before it
  // starts, as the file written to refusing the bytes.
  Status copy_to(File& to, std::span<char> buffer, std::uint64_t limit,
                 std::uint64_t& copied) override {
    if (auto code = fs_.fail_now(Call::copy)) return error_in(to, Operation::write, *code);
    fs_.touched(to);
    return inner_->copy_to(to, buffer, limit, copied);
  }
  Status read_mark(std::string& mark, bool& supported) override {
    if (auto error = fault(Call::mark, Operation::mark)) return *error;
    return inner_->read_mark(mark, supported);
  }
  Status write_mark(const std::string& mark) override {
    if (auto error = fault(Call::mark, Operation::mark)) return *error;
    std::string had;
    bool supported = false;
    if (!fs_.marks_.contains(path()) && inner_->read_mark(had, supported).ok() && supported) {
      fs_.marks_[path()] = had;
    }
    return inner_->write_mark(mark);
  }
  Status real_path(std::filesystem::path& path) override { return inner_->real_path(path); }
  Status close() override {
    fs_.locks -= std::exchange(locked_, false) ? 1 : 0;
    if (auto error = fault(Call::close, Operation::close)) {
      static_cast<void>(inner_->close());
      return *error;
    }
    return inner_->close();
  }
  std::intptr_t native_handle() const override { return inner_->native_handle(); }
  std::string path() const override { return inner_->path(); }
  bool is_work_file() const override { return inner_->is_work_file(); }

 private:
  std::optional<Error> fault(Call call, Operation operation) {
    if (auto code = fs_.fail_now(call)) return error_in(*this, operation, *code);
    return std::nullopt;
  }

  FaultyFileSystem& fs_;
  std::unique_ptr<File> inner_;
  bool locked_ = false;
};

std::optional<Error> FaultyFileSystem::fault(Call call, Operation operation,
                                             const std::filesystem::path& path) {
  if (auto code = fail_now(call)) return Error{operation, utf8_of(path), *code};
  return std::nullopt;
}

Status FaultyFileSystem::wrap(Status status, std::unique_ptr<File>& file, bool work) {
  if (status.ok() && file != nullptr) {
    File* const inner = file.get();
    file = std::make_unique<FaultyFile>(*this, std::move(file));
    if (work) work_[file.get()].inner = inner;
  }
  return status;
}

Status FaultyFileSystem::open_for_update(const std::filesystem::path& path,
                                         std::unique_ptr<File>& file, bool wait) {
  if (auto error = fault(Call::open_for_update, Operation::open, path)) return *error;
  return wrap(real_.open_for_update(path, file, wait), file);
}

Status FaultyFileSystem::open_for_reading(const std::filesystem::path& path,
                                          std::unique_ptr<File>& file) {
  if (auto error = fault(Call::open_for_reading, Operation::open, path)) return *error;
  return wrap(real_.open_for_reading(path, file), file);
}

Status FaultyFileSystem::identity_of(const std::filesystem::path& path, FileIdentity& identity) {
  if (auto error = fault(Call::identity_of, Operation::inspect, path)) return *error;
  FileState state;
  Status status = real_.identity_of(path, state.identity);
  if (restate) restate(state);
  identity = state.identity;
  return status;
}

Status FaultyFileSystem::state_of(const std::filesystem::path& path, FileState& state) {
  if (auto error = fault(Call::state_of, Operation::inspect, path)) return *error;
  Status status = real_.state_of(path, state);
  if (status.ok() && restate) restate(state);
  return status;
}

Status FaultyFileSystem::create_work_file(const std::filesystem::path& part,
                                          std::unique_ptr<File>& file) {
  if (auto error = fault(Call::create_work_file, Operation::create, part.parent_path())) {
    error->work_file = true;
    return *error;
  }
  return wrap(real_.create_work_file(part, file), file, true);
}

Status FaultyFileSystem::name_work_file(File& work, const std::filesystem::path& path) {
  if (auto error = fault(Call::name_work_file, Operation::name, path)) return *error;
  Work& known = work_.at(&work);
  Status status = real_.name_work_file(*known.inner, path);
  if (status.ok()) {
    known.name = utf8_of(path);
    names_[known.name] = std::nullopt;
    if (known.dirty) contents_.try_emplace(known.name);
  }
  return status;
}

Status FaultyFileSystem::remove(const std::filesystem::path& path, const FileIdentity& identity) {
  if (auto error = fault(Call::remove, Operation::remove, path)) return *error;
  const std::string name = utf8_of(path);
  std::optional<std::string> had = contents_of(name);
  Status status = real_.remove(path, identity);
  if (status.ok() && !contents_of(name)) unnamed(name, std::move(had));
  return status;
}

Status FaultyFileSystem::sync_directory(const std::filesystem::path& dir) {
  if (auto error = fault(Call::sync_directory, Operation::sync, dir)) return *error;
  Status status = real_.sync_directory(dir);
  if (status.ok()) {
    std::erase_if(
        names_, [&](const auto& name) { return path_from_utf8(name.first).parent_path() == dir; });
  }
  return status;
}

Status FaultyFileSystem::names_in(const std::filesystem::path& dir, const std::string& prefix,
                                  std::vector<std::string>& names) {
  if (auto error = fault(Call::names_in, Operation::list, dir)) return *error;
  return real_.names_in(dir, prefix, names);
}

std::filesystem::path FaultyFileSystem::private_directory() {
  return private_dir.empty() ? real_.private_directory() : private_dir;
}

std::unique_ptr<InterruptHold> FaultyFileSystem::hold_interrupts() {
  fail_now(Call::hold_interrupts);
  return std::make_unique<Hold>(holds, interrupt, real_.hold_interrupts());
}

void FaultyFileSystem::cut(Crash crash) {
  if (crash == Crash::kept) return;
  for (const auto& [name, had] : names_) {
    std::filesystem::remove(path_from_utf8(name));
    if (crash == Crash::old && had) put_contents(name, *had);
  }
  for (const auto& [name, had] : contents_) {
    if (std::filesystem::exists(path_from_utf8(name))) {
      put_contents(name, crash == Crash::old ? had : "");
    }
  }
#ifndef _WIN32
  // Marks not forced to disk are as they were when last forced.
  for (const auto& [name, had] : marks_) {
    if (had.empty()) {
      ::removexattr(name.c_str(), "user.ostrel.saved");
    } else {
      ::setxattr(name.c_str(), "user.ostrel.saved", had.data(), had.size(), 0);
    }
  }
#endif
  // What the machine finds as it starts again is on disk.
  names_.clear();
  contents_.clear();
  marks_.clear();
}

void FaultyFileSystem::touched(const File& file) {
  if (auto work = work_.find(&file); work != work_.end()) {
    work->second.dirty = true;
    if (!work->second.name.empty()) contents_.try_emplace(work->second.name);
  } else if (!contents_.contains(file.path())) {
    contents_[file.path()] = bytes_of(file);
  }
}

void FaultyFileSystem::synced(const File& file) {
  const auto work = work_.find(&file);
  if (work != work_.end()) work->second.dirty = false;
  contents_.erase(work != work_.end() ? work->second.name : file.path());
  marks_.erase(file.path());
}

void FaultyFileSystem::unnamed(const std::string& name, std::optional<std::string> had) {
  const auto known = names_.find(name);
  if (known != names_.end() && !known->second) {
    names_.erase(known);  // made and removed since the last flush
  } else if (const auto unsynced = contents_.find(name); unsynced != contents_.end()) {
    names_[name] = unsynced->second;
  } else if (had) {
    names_[name] = std::move(had);
  }
  contents_.erase(name);
}

}  // namespace ostrel
