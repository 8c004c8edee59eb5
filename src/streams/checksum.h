// A 64-bit checksum of a stream of bytes, the same however the stream is cut
// into pieces: four lanes over 32-byte blocks, each word mixed in with one
// multiplication, so that the lanes run side by side. It tells
// texts apart that differ by chance (a write of another program, a cut-off
// or edited copy), not texts made to collide.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace ostrel {

class Checksum {
 public:
  void add(std::span<const char> bytes) {
    length_ += bytes.size();
    if (held_ > 0) {
      const std::size_t more = std::min(bytes.size(), kBlock - held_);
      std::memcpy(block_.data() + held_, bytes.data(), more);
      held_ += more;
      bytes = bytes.subspan(more);
      if (held_ < kBlock) return;
      mix(lanes_, block_.data());
    }
    // The lanes in registers: stores through the bytes might change them.
    std::array<std::uint64_t, 4> lanes = lanes_;
    const std::size_t whole = bytes.size() - bytes.size() % kBlock;
    for (std::size_t at = 0; at < whole; at += kBlock) mix(lanes, bytes.data() + at);
    lanes_ = lanes;
    std::memcpy(block_.data(), bytes.data() + whole, bytes.size() - whole);
    held_ = bytes.size() - whole;
  }

  std::uint64_t length() const { return length_; }
  std::uint64_t value() const {
    std::uint64_t sum = length_ * kPrime2;
    for (const std::uint64_t lane : lanes_) sum = round(sum ^ lane, lane) * kPrime1;
    for (std::size_t at = 0; at < held_; ++at) {
      sum = round(sum, static_cast<unsigned char>(block_[at]) + std::uint64_t{at} * 256);
    }
    sum = (sum ^ sum >> 33) * kPrime2;
    return sum ^ sum >> 29;
  }

 private:
  static constexpr std::size_t kBlock = 32;
  static constexpr std::uint64_t kPrime1 = 0x9e3779b185ebca87;
  static constexpr std::uint64_t kPrime2 = 0xc2b2ae3d27d4eb4f;

  static std::uint64_t round(std::uint64_t lane, std::uint64_t word) {
    return std::rotl(lane + word * kPrime2, 31) * kPrime1;
  }
  static void mix(std::array<std::uint64_t, 4>& lanes, const char* block) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      std::uint64_t word = 0;
      std::memcpy(&word, block + 8 * lane, 8);
      lanes[lane] = std::rotl((lanes[lane] ^ word) * kPrime1, 29);
    }
  }

  std::array<std::uint64_t, 4> lanes_{1, 2, 3, 4};
  std::array<char, kBlock> block_{};
  std::size_t held_ = 0;
  std::uint64_t length_ = 0;
};

}  // namespace ostrel
