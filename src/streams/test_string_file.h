// For tests: a File over a string. Reads return at most read_chunk bytes,
// and the fault table fails chosen reads and writes; of a failing write, its
// first `lands` bytes reach the string.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "streams/fault_table.h"
#include "streams/file_system.h"

namespace ostrel {

class StringFile final : public File, public FaultTable {
 public:
  explicit StringFile(std::string text = {}, std::size_t chunk = SIZE_MAX)
      : bytes(std::move(text)), read_chunk(chunk) {}

  Status read(std::span<char> into, std::size_t& got) override {
    got = 0;
    if (auto code = fail_now(Call::read)) return error_in(*this, Operation::read, *code);
    got = std::min({into.size(), read_chunk, bytes.size() - at_});
    std::copy_n(bytes.data() + at_, got, into.data());
    at_ += got;
    return {};
  }
  Status write(std::span<const char> text) override {
    const std::optional<int> code = fail_now(Call::write);
    if (code) text = text.first(std::min(text.size(), lands));
    bytes.replace(at_, text.size(), text.data(), text.size());
    at_ += text.size();
    if (code) return error_in(*this, Operation::write, *code);
    return {};
  }
  Status rewind() override {
    at_ = 0;
    return {};
  }
  Status truncate() override {
    bytes.clear();
    at_ = 0;
    return {};
  }
  Status sync() override { return {}; }
  Status state(FileState& state) override {
    state = FileState{};
    state.size = bytes.size();
    state.regular = true;
    return {};
  }
  Status lock(bool /*wait*/, bool& locked) override {
    locked = true;
    return {};
  }
  Status close() override { return {}; }
  Status read_mark(std::string& mark, bool& supported) override {
    mark.clear();
    supported = false;
    return {};
  }
  Status write_mark(const std::string& /*mark*/) override {
    return error_in(*this, Operation::mark, kPermissionDenied);
  }
  Status real_path(std::filesystem::path& path) override {
    path = this->path();
    return {};
  }
  std::string path() const override { return "string"; }

  std::string bytes;
  std::size_t read_chunk;

 private:
  std::size_t at_ = 0;  // where the next read or write starts
};

}  // namespace ostrel
