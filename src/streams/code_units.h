// How a text file spells its code units. A file is read as bytes, unless it
// starts with a byte-order mark for UTF-16 or UTF-32: then its code units are
// two or four bytes wide, in the byte order the mark gives. A space, a CR and
// a LF are the same code points in every encoding; only their spelling in
// bytes differs, so the streams and the rewrite are written once over it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#if defined(__SSE2__) && !defined(OSTREL_PORTABLE_SCAN)
#include <emmintrin.h>
#endif
// On x86-64 Linux the search uses AVX2 where the CPU has it (GCC and Clang
// compile such code for one function alone).
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && \
    !defined(OSTREL_PORTABLE_SCAN) && !defined(OSTREL_SSE2_SCAN)
#define OSTREL_AVX2
#include <immintrin.h>
#endif

namespace ostrel {

// The searches: equal compares `lanes` bytes at `at` with a word of eight
// bytes repeated, and sets bit i for each byte i that is the same; move64
// copies 64 bytes. One byte at a time on any CPU; 16 at once with SSE2
// (every x86-64 CPU); 32 with AVX2, on the CPUs that have it.
struct PortableSearch {
  static constexpr std::size_t lanes = 8;
  static std::uint64_t equal(const char* at, std::uint64_t word) {
    const auto bytes = std::bit_cast<std::array<char, 8>>(word);
    std::uint64_t same = 0;
    for (std::size_t i = 0; i < lanes; ++i) same |= std::uint64_t{at[i] == bytes[i]} << i;
    return same;
  }
  // A constant size: moves, no call.
  static void move64(char* to, const char* from) { std::memcpy(to, from, 64); }
};

#if defined(__SSE2__) && !defined(OSTREL_PORTABLE_SCAN)
struct Sse2Search : PortableSearch {
  static constexpr std::size_t lanes = 16;
  static std::uint64_t equal(const char* at, std::uint64_t word) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i pattern = _mm_set1_epi64x(static_cast<long long>(word));
    return static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, pattern)));
  }
};
using BaselineSearch = Sse2Search;
#else
using BaselineSearch = PortableSearch;
#endif

#if defined(OSTREL_AVX2)
struct Avx2Search {
  static constexpr std::size_t lanes = 32;
  [[gnu::target("avx2")]] static std::uint64_t equal(const char* at, std::uint64_t word) {
    const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i pattern = _mm256_set1_epi64x(static_cast<long long>(word));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(here, pattern)));
  }
  // Two moves of 32 bytes (GCC makes four of 16 from a memcpy).
  [[gnu::target("avx2")]] static void move64(char* to, const char* from) {
    for (std::size_t half = 0; half < 64; half += 32) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + half),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + half)));
    }
  }
};
#endif

template <std::size_t Width, std::endian Order>
struct CodeUnits {
  static constexpr std::size_t width = Width;
  using Unit = std::array<char, Width>;

  // The bytes of the code unit of an ASCII character, as the file holds them.
  static constexpr Unit spell(char code) {
    Unit unit{};
    unit[Order == std::endian::little ? 0 : Width - 1] = code;
    return unit;
  }
  static constexpr Unit space = spell(' ');
  static constexpr Unit cr = spell('\r');
  static constexpr Unit lf = spell('\n');
  static constexpr std::array<char, 2 * Width> crlf =
      std::bit_cast<std::array<char, 2 * Width>>(std::array{cr, lf});

  static bool is(const char* at, const Unit& unit) {
    return std::memcmp(at, unit.data(), Width) == 0;
  }

  // A word of eight bytes that repeats unit.
  static constexpr std::uint64_t repeated(const Unit& unit) {
    std::array<char, sizeof(std::uint64_t)> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = unit[i % Width];
    return std::bit_cast<std::uint64_t>(bytes);
  }

  // The bits of the bytes that start a unit.
  static constexpr std::uint64_t firsts = ~std::uint64_t{0} / ((std::uint64_t{1} << Width) - 1);

  // Where the line ends, CRs and spaces are among 64 bytes of text: bit i is
  // set for each byte i that starts a code unit equal to one (the bits for
  // the other bytes of a unit are clear). This is the search that finds line
  // ends and the ends of indents. It compares whole units: a search for the
  // byte 0x0A alone would stop at every character that holds one (U+4E0A,
  // and all of Gurmukhi and Gujarati in UTF-16LE).
  struct Masks {
    std::uint64_t lf = 0;
    std::uint64_t cr = 0;
    std::uint64_t space = 0;
  };

  // The masks of the 64 bytes at `at`, all of them readable, found with
  // one of the searches above.
  template <class Search>
  [[gnu::always_inline]] static Masks masks(const char* at) {
    std::uint64_t same[3] = {};
    for (std::size_t part = 0; part < 64; part += Search::lanes) {
      for (std::size_t u = 0; u < 3; ++u) {
        same[u] |= Search::equal(at + part, repeated(*units[u])) << part;
      }
    }
    return {whole(same[0]), whole(same[1]), whole(same[2])};
  }

 private:
  // The bits of the units all of whose bytes are set in same.
  static constexpr std::uint64_t whole(std::uint64_t same) {
    for (std::size_t shift = 1; shift < Width; shift *= 2) same &= same >> shift;
    return same & firsts;
  }
  static constexpr const Unit* units[3] = {&lf, &cr, &space};
};

using Bytes = CodeUnits<1, std::endian::native>;
using Utf16Le = CodeUnits<2, std::endian::little>;
using Utf16Be = CodeUnits<2, std::endian::big>;
using Utf32Le = CodeUnits<4, std::endian::little>;
using Utf32Be = CodeUnits<4, std::endian::big>;

enum class Encoding { bytes, utf8, utf16le, utf16be, utf32le, utf32be };

struct ByteOrderMark {
  Encoding encoding = Encoding::bytes;
  std::size_t size = 0;  // bytes
};

// The encoding that the byte-order mark at the start of a file announces;
// bytes, with no mark, when it starts with none. start holds the file's
// first four bytes, or the whole of a shorter file: FF FE is UTF-16 unless
// 00 00 follows, which makes it UTF-32.
inline ByteOrderMark byte_order_mark(std::span<const char> start) {
  using namespace std::string_view_literals;
  static constexpr std::pair<std::string_view, Encoding> marks[] = {
      {"\xff\xfe\0\0"sv, Encoding::utf32le},
      {"\0\0\xfe\xff"sv, Encoding::utf32be},
      {"\xff\xfe"sv, Encoding::utf16le},
      {"\xfe\xff"sv, Encoding::utf16be},
      {"\xef\xbb\xbf"sv, Encoding::utf8}};
  for (const auto& [mark, encoding] : marks) {
    if (std::string_view(start.data(), start.size()).starts_with(mark)) {
      return {encoding, mark.size()};
    }
  }
  return {};
}

}  // namespace ostrel
