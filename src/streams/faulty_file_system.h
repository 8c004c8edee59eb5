// A file system that passes every call to another one, the real one in
// tests, and fails the calls a FaultTable chooses: the fallbacks of the
// rewrite can so be reached on a real disk. Other programs act on the disk
// itself, at chosen calls (the table's meddles). What the disk cannot be
// made to do at a chosen moment, the wrapper says instead: reads cut short
// (read_chunk), what the OS says of a file (restate: another owner, no
// birth times, a clock that did not move), openers let in past a lease
// (let_in), and a request to end the process (interrupt).
//
// It also keeps account of what has not been forced to stable storage, so
// that a power cut can be simulated: once the calls stop (stop_after), cut()
// leaves the files as a crash of the OS may: all that was written (kept),
// everything not forced to disk lost, names not forced to disk gone and
// files emptied (lost), or everything back as it was when last forced to
// disk (old).
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#ifndef _WIN32
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include "streams/fault_table.h"
#include "streams/file_system.h"

namespace ostrel {

class FaultyFileSystem final : public FileSystem, public FaultTable {
 public:
  explicit FaultyFileSystem(FileSystem& real) : real_(real) {}

  Status open_for_update(const std::filesystem::path& path, std::unique_ptr<File>& file,
                         bool wait) override {
    if (auto code = fail_now(Call::open_for_update)) return error(Operation::open, path, *code);
    return wrap(real_.open_for_update(path, file, wait), file);
  }
  Status open_for_reading(const std::filesystem::path& path, std::unique_ptr<File>& file) override {
    if (auto code = fail_now(Call::open_for_reading)) return error(Operation::open, path, *code);
    return wrap(real_.open_for_reading(path, file), file);
  }
  Status identity_of(const std::filesystem::path& path, FileIdentity& identity) override {
    if (auto code = fail_now(Call::identity_of)) return error(Operation::inspect, path, *code);
    FileState state;
    Status status = real_.identity_of(path, state.identity);
    if (restate) restate(state);
    identity = state.identity;
    return status;
  }
  Status state_of(const std::filesystem::path& path, FileState& state) override {
    if (auto code = fail_now(Call::state_of)) return error(Operation::inspect, path, *code);
    Status status = real_.state_of(path, state);
    if (status.ok() && restate) restate(state);
    return status;
  }
  Status create_work_file(const std::filesystem::path& dir,
                          std::unique_ptr<WorkFile>& file) override {
    if (auto code = fail_now(Call::create_work_file)) {
      return Error{Operation::create, utf8_of(dir), *code, true};
    }
    Status status = real_.create_work_file(dir, file);
    if (status.ok()) file = std::make_unique<FaultyWorkFile>(*this, std::move(file));
    return status;
  }
  Status create_new(const std::filesystem::path& path, std::unique_ptr<File>& file) override {
    if (auto code = fail_now(Call::create_new)) return error(Operation::create, path, *code);
    Status status = wrap(real_.create_new(path, file), file);
    if (status.ok()) {
      names_[utf8_of(path)] = std::nullopt;
      contents_.try_emplace(utf8_of(path));
    }
    return status;
  }
  Status remove(const std::filesystem::path& path, const FileIdentity& identity) override {
    if (auto code = fail_now(Call::remove)) return error(Operation::remove, path, *code);
    const std::string name = utf8_of(path);
    std::optional<std::string> had = contents_of(name);
    Status status = real_.remove(path, identity);
    if (status.ok() && !contents_of(name)) unnamed(name, std::move(had));
    return status;
  }
  Status rename_new(const std::filesystem::path& from, const std::filesystem::path& to) override {
    if (auto code = fail_now(Call::rename)) return error(Operation::name, to, *code);
    Status status = real_.rename_new(from, to);
    if (status.ok()) {
      names_[utf8_of(to)] = std::nullopt;
      if (auto unsynced = contents_.extract(utf8_of(from))) {
        contents_[utf8_of(to)] = std::move(unsynced.mapped());
      }
      unnamed(utf8_of(from), std::nullopt);
    }
    return status;
  }
  Status sync_directory(const std::filesystem::path& dir) override {
    if (auto code = fail_now(Call::sync_directory)) return error(Operation::sync, dir, *code);
    Status status = real_.sync_directory(dir);
    if (status.ok()) {
      std::erase_if(names_, [&](const auto& name) {
        return path_from_utf8(name.first).parent_path() == dir;
      });
    }
    return status;
  }
  Status names_in(const std::filesystem::path& dir, const std::string& prefix,
                  std::vector<std::string>& names) override {
    if (auto code = fail_now(Call::names_in)) return error(Operation::list, dir, *code);
    return real_.names_in(dir, prefix, names);
  }
  std::filesystem::path private_directory() override {
    return private_dir.empty() ? real_.private_directory() : private_dir;
  }
  // Set, the user's private directory in place of the real one.
  std::filesystem::path private_dir;
  // Set, changes what the OS says of every file and directory.
  std::function<void(FileState&)> restate;
  std::size_t read_chunk = SIZE_MAX;  // no read returns more bytes
  bool let_in = false;                // the OS no longer keeps other programs out
  bool interrupt = false;             // a request to end the process has come
  int holds = 0;                      // interrupt holds in force
  int locks = 0;                      // locks held

  enum class Crash { kept, lost, old };
  // Leaves the files as a power cut at this moment may have left them; a
  // process that was only stopped (kept) leaves what is not on disk at risk
  // for the runs that follow on this file system.
  void cut(Crash crash) {
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
  std::unique_ptr<InterruptHold> hold_interrupts() override {
    fail_now(Call::hold_interrupts);
    return std::make_unique<Hold>(*this, real_.hold_interrupts());
  }

 private:
  // A hold or lock of the real file system, counted while it lasts.
  template <class Base>
  class Counted : public Base {
   public:
    Counted(int& count, std::unique_ptr<Base> inner) : count_(count), inner_(std::move(inner)) {
      ++count_;
    }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
    ~Counted() override { --count_; }

   protected:
    int& count_;
    std::unique_ptr<Base> inner_;
  };
  class Hold final : public Counted<InterruptHold> {
   public:
    Hold(FaultyFileSystem& fs, std::unique_ptr<InterruptHold> inner)
        : Counted(fs.holds, std::move(inner)), fs_(fs) {}
    bool pending() const override { return fs_.interrupt || inner_->pending(); }

   private:
    FaultyFileSystem& fs_;
  };

  static Error error(Operation operation, const std::filesystem::path& path, int code) {
    return Error{operation, utf8_of(path), code};
  }

  // A file whose calls pass to the real one unless failed. Base is File or
  // WorkFile.
  template <class Base>
  class Faulty : public Base {
   public:
    Faulty(FaultyFileSystem& fs, std::unique_ptr<Base> inner) : fs_(fs), inner_(std::move(inner)) {}

    Status read(std::span<char> into, std::size_t& got) override {
      got = 0;
      if (auto code = fs_.fail_now(Call::read)) return fail(Operation::read, *code);
      return inner_->read(into.first(std::min(into.size(), fs_.read_chunk)), got);
    }
    Status write(std::span<const char> bytes) override {
      const std::optional<int> code = fs_.fail_now(Call::write);
      fs_.touched(*this);
      if (!code) return inner_->write(bytes);
      // Part of the bytes may land before the write fails.
      if (fs_.lands > 0)
        static_cast<void>(inner_->write(bytes.first(std::min(bytes.size(), fs_.lands))));
      return fail(Operation::write, *code);
    }
    Status rewind() override {
      if (auto code = fs_.fail_now(Call::rewind)) return fail(Operation::rewind, *code);
      return inner_->rewind();
    }
    Status truncate() override {
      if (auto code = fs_.fail_now(Call::truncate)) return fail(Operation::truncate, *code);
      fs_.touched(*this);
      return inner_->truncate();
    }
    Status state(FileState& state) override {
      if (auto code = fs_.fail_now(Call::state)) return fail(Operation::inspect, *code);
      Status status = inner_->state(state);
      if (status.ok() && fs_.restate) fs_.restate(state);
      return status;
    }
    Status lock(bool wait, std::unique_ptr<FileLock>& lock) override {
      if (auto code = fs_.fail_now(Call::lock)) return fail(Operation::lock, *code);
      Status status = inner_->lock(wait, lock);
      if (lock != nullptr) lock = std::make_unique<Counted<FileLock>>(fs_.locks, std::move(lock));
      return status;
    }
    Status sync() override {
      if (auto code = fs_.fail_now(Call::sync)) return fail(Operation::sync, *code);
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
    Status read_mark(std::string& mark, bool& kept) override {
      if (auto code = fs_.fail_now(Call::mark)) return fail(Operation::mark, *code);
      return inner_->read_mark(mark, kept);
    }
    Status write_mark(const std::string& mark) override {
      if (auto code = fs_.fail_now(Call::mark)) return fail(Operation::mark, *code);
      std::string had;
      bool kept = false;
      if (!fs_.marks_.contains(path()) && inner_->read_mark(had, kept).ok() && kept) {
        fs_.marks_[path()] = had;
      }
      return inner_->write_mark(mark);
    }
    Status real_path(std::filesystem::path& path) override { return inner_->real_path(path); }
    Status close() override {
      if (auto code = fs_.fail_now(Call::close)) {
        static_cast<void>(inner_->close());
        return fail(Operation::close, *code);
      }
      return inner_->close();
    }
    std::intptr_t native_handle() const override { return inner_->native_handle(); }
    std::string path() const override { return inner_->path(); }

   protected:
    Error fail(Operation operation, int code) const { return error_in(*this, operation, code); }

    FaultyFileSystem& fs_;
    std::unique_ptr<Base> inner_;
  };

  class FaultyWorkFile final : public Faulty<WorkFile> {
   public:
    using Faulty::Faulty;
    const std::filesystem::path& directory() const override { return inner_->directory(); }
    Status name_as(const std::filesystem::path& path) override {
      if (auto code = fs_.fail_now(Call::name_as)) return error(Operation::name, path, *code);
      Status status = inner_->name_as(path);
      if (status.ok()) {
        name = utf8_of(path);
        fs_.names_[name] = std::nullopt;
        if (dirty) fs_.contents_.try_emplace(name);
      }
      return status;
    }
    Status unname() override {
      if (auto code = fs_.fail_now(Call::unname)) return fail(Operation::remove, *code);
      std::optional<std::string> had = contents_of(name);
      Status status = inner_->unname();
      if (status.ok() && !contents_of(name)) fs_.unnamed(name, std::move(had));
      return status;
    }

    std::string name;    // the name it was given, if any
    bool dirty = false;  // written since last forced to disk
  };

  // What a crash keeps of file and its names is recorded before it changes.
  void touched(File& file) {
    if (auto* work = dynamic_cast<FaultyWorkFile*>(&file)) {
      work->dirty = true;
      if (!work->name.empty()) contents_.try_emplace(work->name);
    } else {
      if (!contents_.contains(file.path())) contents_[file.path()] = bytes_of(file);
    }
  }
  void synced(File& file) {
    auto* work = dynamic_cast<FaultyWorkFile*>(&file);
    if (work != nullptr) work->dirty = false;
    contents_.erase(work != nullptr ? work->name : file.path());
    marks_.erase(file.path());
  }
  // The name is gone; had is what it named, if that was on disk.
  void unnamed(const std::string& name, std::optional<std::string> had) {
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
  // What an open file holds now. Read through it where the OS can without
  // moving it: opening it again would wait for a lease on it.
  static std::string bytes_of(const File& file) {
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
  static std::optional<std::string> contents_of(const std::string& name) {
    std::ifstream in(path_from_utf8(name), std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void put_contents(const std::string& name, const std::string& bytes) {
    std::ofstream(path_from_utf8(name), std::ios::binary | std::ios::trunc) << bytes;
  }

  // Names given or taken away since their directory was last forced to
  // disk: nullopt for one given, else what the one taken away named.
  std::map<std::string, std::optional<std::string>> names_;
  // Files written since last forced to disk, and what they held then.
  std::map<std::string, std::string> contents_;
  // Files whose mark was written since last forced to disk, and the mark
  // they had then.
  std::map<std::string, std::string> marks_;

  Status wrap(Status status, std::unique_ptr<File>& file) {
    if (status.ok() && file != nullptr)
      file = std::make_unique<Faulty<File>>(*this, std::move(file));
    return status;
  }

  FileSystem& real_;
};

}  // namespace ostrel
