// A file system that passes every call to another one, the real one in
// tests, and fails the calls a FaultTable chooses: the fallbacks of the
// rewrite can so be reached on a real disk.
#pragma once

#include <memory>
#include <utility>

#include "streams/fault_table.h"
#include "streams/file_system.h"

namespace ostrel {

class FaultyFileSystem final : public FileSystem, public FaultTable {
 public:
  explicit FaultyFileSystem(FileSystem& real) : real_(real) {}

  Status open_for_update(const std::filesystem::path& path, std::unique_ptr<File>& file) override {
    if (auto code = fail_now(Call::open_for_update)) return error(Operation::open, path, *code);
    return wrap(real_.open_for_update(path, file), file);
  }
  Status open_for_reading(const std::filesystem::path& path, std::unique_ptr<File>& file) override {
    if (auto code = fail_now(Call::open_for_reading)) return error(Operation::open, path, *code);
    return wrap(real_.open_for_reading(path, file), file);
  }
  Status identity_of(const std::filesystem::path& path, FileIdentity& identity) override {
    if (auto code = fail_now(Call::identity_of)) return error(Operation::inspect, path, *code);
    return real_.identity_of(path, identity);
  }
  Status state_of(const std::filesystem::path& path, FileState& state) override {
    if (auto code = fail_now(Call::state_of)) return error(Operation::inspect, path, *code);
    return real_.state_of(path, state);
  }
  Status create_work_file(std::unique_ptr<WorkFile>& file) override {
    if (auto code = fail_now(Call::create_work_file)) return error(Operation::create, {}, *code);
    Status status = real_.create_work_file(file);
    if (status.ok()) file = std::make_unique<FaultyWorkFile>(*this, std::move(file));
    return status;
  }
  Status create_new(const std::filesystem::path& path, std::unique_ptr<File>& file) override {
    if (auto code = fail_now(Call::create_new)) return error(Operation::create, path, *code);
    return wrap(real_.create_new(path, file), file);
  }
  Status remove(const std::filesystem::path& path, const FileIdentity& identity) override {
    if (auto code = fail_now(Call::remove)) return error(Operation::remove, path, *code);
    return real_.remove(path, identity);
  }
  Status rename_new(const std::filesystem::path& from, const std::filesystem::path& to) override {
    if (auto code = fail_now(Call::rename)) return error(Operation::name, to, *code);
    return real_.rename_new(from, to);
  }
  std::filesystem::path system_temp_directory() override { return real_.system_temp_directory(); }
  std::unique_ptr<InterruptHold> hold_interrupts() override {
    fail_now(Call::hold_interrupts);
    return real_.hold_interrupts();
  }

 private:
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
      return inner_->read(into, got);
    }
    Status write(std::span<const char> bytes) override {
      if (auto code = fs_.fail_now(Call::write)) return fail(Operation::write, *code);
      return inner_->write(bytes);
    }
    Status rewind() override {
      if (auto code = fs_.fail_now(Call::rewind)) return fail(Operation::rewind, *code);
      return inner_->rewind();
    }
    Status truncate() override {
      if (auto code = fs_.fail_now(Call::truncate)) return fail(Operation::truncate, *code);
      return inner_->truncate();
    }
    Status state(FileState& state) override {
      if (auto code = fs_.fail_now(Call::state)) return fail(Operation::inspect, *code);
      return inner_->state(state);
    }
    Status lock(bool wait, std::unique_ptr<FileLock>& lock) override {
      if (auto code = fs_.fail_now(Call::lock)) return fail(Operation::lock, *code);
      return inner_->lock(wait, lock);
    }
    bool keep_openers_waiting() override { return inner_->keep_openers_waiting(); }
    // The copy is the real one's, kernel and all; a fault fails it before it
    // starts, as the file written to refusing the bytes.
    Status copy_to(File& to, std::span<char> buffer) override {
      if (auto code = fs_.fail_now(Call::copy)) return Error{Operation::write, to.path(), *code};
      return inner_->copy_to(to, buffer);
    }
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
    Error fail(Operation operation, int code) const { return Error{operation, path(), code}; }

    FaultyFileSystem& fs_;
    std::unique_ptr<Base> inner_;
  };

  class FaultyWorkFile final : public Faulty<WorkFile> {
   public:
    using Faulty::Faulty;
    const std::filesystem::path& directory() const override { return inner_->directory(); }
    Status name_as(const std::filesystem::path& path) override {
      if (auto code = fs_.fail_now(Call::name_as)) return error(Operation::name, path, *code);
      return inner_->name_as(path);
    }
    Status unname() override {
      if (auto code = fs_.fail_now(Call::unname)) return fail(Operation::remove, *code);
      return inner_->unname();
    }
  };

  Status wrap(Status status, std::unique_ptr<File>& file) {
    if (status.ok() && file != nullptr)
      file = std::make_unique<Faulty<File>>(*this, std::move(file));
    return status;
  }

  FileSystem& real_;
};

}  // namespace ostrel
