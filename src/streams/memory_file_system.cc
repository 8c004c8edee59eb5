#include "streams/memory_file_system.h"

#include <algorithm>
#include <cerrno>

namespace ostrel {

namespace {

std::string key(const std::filesystem::path& path) { return utf8_of(path); }

class MemoryHold final : public InterruptHold {
 public:
  bool pending() const override { return false; }
};

FileState state_of_node(const MemoryNode& node) {
  FileState state;
  state.identity = node.identity;
  state.size = node.bytes.size();
  state.modified = node.modified;
  state.status_changed = node.modified;
  state.regular = true;
  state.owned_by_user = node.owned_by_user;
  state.links = node.links;
  return state;
}

template <class Base>
class MemoryFile : public Base {
 public:
  // path names the file in errors: its name, or a work file's directory.
  MemoryFile(MemoryFileSystem& fs, std::shared_ptr<MemoryNode> node, std::string path)
      : fs_(fs), node_(std::move(node)), path_(std::move(path)) {}

  Status read(std::span<char> into, std::size_t& got) override {
    got = 0;
    if (auto code = fs_.fail_now(Call::read)) return error(Operation::read, *code);
    const std::string& bytes = node_->bytes;
    got = std::min({into.size(), fs_.read_chunk, bytes.size() - std::min(position_, bytes.size())});
    std::copy_n(bytes.data() + position_, got, into.data());
    position_ += got;
    return {};
  }

  Status write(std::span<const char> bytes) override {
    const std::optional<int> code = fs_.fail_now(Call::write);
    if (code) bytes = bytes.first(std::min(bytes.size(), fs_.lands));
    std::string& to = node_->bytes;
    if (to.size() < position_) to.resize(position_);
    to.replace(position_, std::min(bytes.size(), to.size() - position_), bytes.data(),
               bytes.size());
    position_ += bytes.size();
    node_->modified = ++fs_.clock;
    if (code) return error(Operation::write, *code);
    return {};
  }

  Status sync() override {
    if (auto code = fs_.fail_now(Call::sync)) return error(Operation::sync, *code);
    return {};
  }

  Status rewind() override {
    if (auto code = fs_.fail_now(Call::rewind)) return error(Operation::rewind, *code);
    position_ = 0;
    return {};
  }

  Status truncate() override {
    if (auto code = fs_.fail_now(Call::truncate)) return error(Operation::truncate, *code);
    node_->bytes.clear();
    node_->modified = ++fs_.clock;
    position_ = 0;
    return {};
  }

  Status state(FileState& state) override {
    if (auto code = fs_.fail_now(Call::state)) return error(Operation::inspect, *code);
    state = state_of_node(*node_);
    return {};
  }

  Status lock(bool wait, std::unique_ptr<FileLock>& lock) override {
    if (auto code = fs_.fail_now(Call::lock)) return error(Operation::lock, *code);
    if (fs_.lock_busy) {
      if (!wait) return {};
      fs_.lock_busy = false;  // the other run has finished
    }
    lock = std::make_unique<FileLock>();
    return {};
  }

  std::string path() const override { return path_; }
  // A name without a directory is in the current one.
  Status real_path(std::filesystem::path& path) override {
    path = std::filesystem::path(".") / path_from_utf8(path_);
    return {};
  }

  Status close() override {
    if (auto code = fs_.fail_now(Call::close)) return error(Operation::close, *code);
    return {};
  }

 protected:
  Error error(Operation operation, int code) const { return error_in(*this, operation, code); }

  MemoryFileSystem& fs_;
  std::shared_ptr<MemoryNode> node_;
  std::string path_;
  std::size_t position_ = 0;
};

class MemoryWorkFile final : public MemoryFile<WorkFile> {
 public:
  MemoryWorkFile(MemoryFileSystem& fs, const std::string& directory, FileIdentity identity)
      : MemoryFile(fs, std::make_shared<MemoryNode>(), directory), directory_(directory) {
    node_->identity = identity;
  }

  const std::filesystem::path& directory() const override { return directory_; }

  Status name_as(const std::filesystem::path& path) override {
    if (auto code = fs_.fail_now(Call::name_as)) return error(Operation::name, *code);
    if (fs_.names.contains(key(path))) return error(Operation::name, EEXIST);
    fs_.names[key(path)] = node_;
    ++node_->links;
    name_ = key(path);
    return {};
  }

  Status unname() override {
    if (auto code = fs_.fail_now(Call::unname)) return error(Operation::remove, *code);
    const auto found = fs_.names.find(name_);
    if (found != fs_.names.end() && found->second == node_) {
      fs_.names.erase(found);
      --node_->links;
    }
    name_.clear();
    return {};
  }

 private:
  std::filesystem::path directory_;
  std::string name_;
};

}  // namespace

MemoryNode& MemoryFileSystem::put(const std::string& name, std::string bytes) {
  auto node = std::make_shared<MemoryNode>();
  node->bytes = std::move(bytes);
  node->identity = FileIdentity{1, next_file_++, ++clock};
  node->modified = clock;
  node->links = 1;
  if (const auto old = names.find(name); old != names.end()) --old->second->links;
  names[name] = node;
  return *node;
}

std::optional<std::string> MemoryFileSystem::bytes(const std::string& name) const {
  const auto found = names.find(name);
  if (found == names.end()) return std::nullopt;
  return found->second->bytes;
}

Status MemoryFileSystem::open_for_update(const std::filesystem::path& path,
                                         std::unique_ptr<File>& file, bool /*wait*/) {
  const std::string name = key(path);
  if (auto code = fail_now(Call::open_for_update)) return Error{Operation::open, name, *code};
  const auto found = names.find(name);
  if (found == names.end()) return Error{Operation::open, name, ENOENT};
  file = std::make_unique<MemoryFile<File>>(*this, found->second, name);
  return {};
}

Status MemoryFileSystem::open_for_reading(const std::filesystem::path& path,
                                          std::unique_ptr<File>& file) {
  const std::string name = key(path);
  if (auto code = fail_now(Call::open_for_reading)) return Error{Operation::open, name, *code};
  const auto found = names.find(name);
  if (found == names.end()) return {};
  file = std::make_unique<MemoryFile<File>>(*this, found->second, name);
  return {};
}

Status MemoryFileSystem::identity_of(const std::filesystem::path& path, FileIdentity& identity) {
  const std::string name = key(path);
  if (auto code = fail_now(Call::identity_of)) return Error{Operation::inspect, name, *code};
  const auto found = names.find(name);
  if (found == names.end()) return Error{Operation::inspect, name, ENOENT};
  identity = found->second->identity;
  return {};
}

Status MemoryFileSystem::state_of(const std::filesystem::path& path, FileState& state) {
  const std::string name = key(path);
  if (auto code = fail_now(Call::state_of)) return Error{Operation::inspect, name, *code};
  const auto found = names.find(name);
  if (found != names.end()) {
    state = state_of_node(*found->second);
    return {};
  }
  // Any other name is a directory.
  state = FileState{};
  state.owned_by_user = true;
  return {};
}

Status MemoryFileSystem::create_work_file(const std::filesystem::path& dir,
                                          std::unique_ptr<WorkFile>& file) {
  if (auto code = fail_now(Call::create_work_file))
    return Error{Operation::create, key(dir), *code, true};
  file = std::make_unique<MemoryWorkFile>(*this, key(dir), FileIdentity{1, next_file_++, ++clock});
  return {};
}

Status MemoryFileSystem::sync_directory(const std::filesystem::path& dir) {
  if (auto code = fail_now(Call::sync_directory)) return Error{Operation::sync, key(dir), *code};
  return {};
}

Status MemoryFileSystem::names_in(const std::filesystem::path& dir, const std::string& prefix,
                                  std::vector<std::string>& found) {
  found.clear();
  const std::string start = joined(key(dir), prefix);
  for (const auto& [name, node] : names) {
    if (name.starts_with(start)) found.push_back(name.substr(start.size() - prefix.size()));
  }
  return {};
}

Status MemoryFileSystem::create_new(const std::filesystem::path& path,
                                    std::unique_ptr<File>& file) {
  const std::string name = key(path);
  if (auto code = fail_now(Call::create_new)) return Error{Operation::create, name, *code};
  if (names.contains(name)) return Error{Operation::create, name, EEXIST};
  put(name, {});
  file = std::make_unique<MemoryFile<File>>(*this, names[name], name);
  return {};
}

Status MemoryFileSystem::remove(const std::filesystem::path& path, const FileIdentity& identity) {
  const std::string name = key(path);
  if (auto code = fail_now(Call::remove)) return Error{Operation::remove, name, *code};
  const auto found = names.find(name);
  if (found == names.end()) return Error{Operation::remove, name, ENOENT};
  if (found->second->identity != identity) return {};
  --found->second->links;
  names.erase(found);
  return {};
}

Status MemoryFileSystem::rename_new(const std::filesystem::path& from,
                                    const std::filesystem::path& to) {
  if (auto code = fail_now(Call::rename)) return Error{Operation::name, key(to), *code};
  const auto found = names.find(key(from));
  if (found == names.end()) return Error{Operation::name, key(to), ENOENT};
  if (names.contains(key(to))) return Error{Operation::name, key(to), EEXIST};
  names[key(to)] = found->second;
  names.erase(found);
  return {};
}

std::unique_ptr<InterruptHold> MemoryFileSystem::hold_interrupts() {
  log.push_back(Call::hold_interrupts);
  return std::make_unique<MemoryHold>();
}

}  // namespace ostrel
