#include "rewrite/strip_pass.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "streams/buffered_stream.h"
#include "streams/code_units.h"

namespace ostrel {

namespace {

// The rewrite's rule, applied to the text one buffered stretch at a time: a
// line loses the space units it starts with, and a LF that follows no CR is
// written as CR LF. Everything else stays, and is copied a stretch between
// two changes at a time. Without an output (Write false) it only looks for
// the first change.
template <class Units, bool Write>
class Strip {
 public:
  static constexpr std::size_t width = Units::width;

  // line_start: whether the text starts a line whose spaces go.
  explicit Strip(bool line_start) : line_start_(line_start) {}

  // Strips text, whole units that do not end with a CR whose LF may follow,
  // into out, which has room for twice as many bytes; returns where the
  // output ends.
  char* run(std::span<const char> text, char* out) {
#if defined(OSTREL_AVX2)
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                             __builtin_cpu_supports("bmi2");
    if (avx2) return run_avx2(text, out);
#endif
    return run_with<BaselineSearch>(text, out);
  }

  bool differs() const { return differs_; }

 private:
#if defined(OSTREL_AVX2)
  // The same loop compiled for CPUs with AVX2 (and BMI1 and BMI2, which all
  // of them have); flatten has the AVX2 search and moves, which are
  // compiled for them alone, inlined into it.
  [[gnu::target("avx2,bmi,bmi2"), gnu::flatten]] char* run_avx2(std::span<const char> text,
                                                                char* out) {
    return run_with<Avx2Search>(text, out);
  }
#endif

  // The text is searched 64 bytes at a time: the bit masks of one such
  // window show where it changes, and a window without a change costs
  // nothing more.
  template <class Search>
  [[gnu::always_inline]] inline char* run_with(std::span<const char> text, char* out) {
    const char* const end = text.data() + text.size();
    const char* uncopied = text.data();  // the start of the stretch not copied yet
    std::uint64_t line_start = line_start_;
    std::uint64_t cr_before = 0;  // a CR before the text's first unit was held back
    // Copies the stretches and writes the changes of the window of `size`
    // bytes at `window`; without Write, only says whether it has a change.
    // With moves, the window ends 64 bytes or more before the text, so that
    // both buffers reach 63 bytes past any stretch that ends in it: the
    // stretch is then copied 64 bytes at a time with no call (the bytes past
    // its end are written over next).
    const auto step = [&](const char* window, std::size_t size, typename Units::Masks found,
                          bool moves) __attribute__((always_inline)) {
      const std::uint64_t lone_lfs = found.lf & ~(found.cr << width | cr_before);
      const std::uint64_t line_starts = found.lf << width | line_start;
      // The indent after a LF alone goes in the same step as the LF.
      std::uint64_t changes = lone_lfs | (found.space & line_starts & ~(lone_lfs << width));
      line_start = found.lf >> (size - width) & 1;
      cr_before = found.cr >> (size - width) & 1;
      if (changes == 0) return false;
      if (!Write) return true;
      const std::uint64_t others = ~found.space & Units::firsts;  // past the end too
      do {
        const auto at = static_cast<std::size_t>(std::countr_zero(changes));
        const auto stretch = static_cast<std::size_t>(window + at - uncopied);
        if (moves) {
          Search::move64(out, uncopied);
          for (std::size_t done = 64; done < stretch; done += 64) {
            Search::move64(out + done, uncopied + done);
          }
        } else {
          std::memcpy(out, uncopied, stretch);
        }
        out += stretch;
        // A LF alone becomes CR LF. The two units are written in any case
        // (the output has room for them); at an indent, they are written
        // over next.
        constexpr std::array<char, 2 * width> pair = Units::crlf;
        std::memcpy(out, pair.data(), pair.size());
        out += (lone_lfs >> at & 1) * pair.size();
        // The indent that starts here, or after the LF, ends at the next
        // unit that is no space, which may be in the next window, or the
        // next text.
        uncopied = window + std::countr_zero(others & ~std::uint64_t{1} << at);
        changes &= changes - 1;
      } while (changes != 0);
      line_start |= std::uint64_t{uncopied == window + size};
      return false;
    };
    const char* window = text.data();
    const std::size_t moves = text.size() < 128 ? 0 : text.size() - 127;
    for (; window < text.data() + moves; window += 64) {
      if (step(window, 64, Units::template masks<Search>(window), true)) return change();
    }
    // The last windows: the one that ends the text is searched in a copy,
    // whose bytes past the text's end are zero, which matches no unit.
    for (; window < end; window += 64) {
      const auto size = static_cast<std::size_t>(std::min<std::ptrdiff_t>(end - window, 64));
      std::array<char, 64> last{};
      std::memcpy(last.data(), window, size);
      if (step(window, size, Units::template masks<Search>(last.data()), false)) return change();
    }
    if constexpr (Write) {
      std::memcpy(out, uncopied, static_cast<std::size_t>(end - uncopied));
      out += end - uncopied;
    }
    line_start_ = line_start != 0;
    return out;
  }

  char* change() {
    differs_ = true;
    return nullptr;
  }

  bool line_start_;
  bool differs_ = false;
};

// Writes bytes to the stream as they are.
Status put(OutputStream& to, std::span<const char> bytes) {
  while (!bytes.empty()) {
    if (to.room().empty()) {
      if (Status status = to.flush(); !status.ok()) return status;
    }
    const std::size_t some = std::min(bytes.size(), to.room().size());
    std::memcpy(to.room().data(), bytes.data(), some);
    to.commit(some);
    bytes = bytes.subspan(some);
  }
  return {};
}

// One pass over the target in one encoding, from just after the mark: into
// `to`, or, without one, only to see whether the text differs (differs is
// set only then).
template <class Units, bool Write>
Status strip_text(InputStream& from, OutputStream* to, std::span<const char> mark, bool& differs) {
  constexpr std::size_t width = Units::width;
  // The first line's spaces stay if, without them, the file would start
  // with another mark (spaces then EF BB BF where there was no mark; FF FE
  // then U+0000, which makes FF FE 00 00): the next run would read it in
  // another encoding.
  std::uint64_t spaces = 0;
  for (;;) {
    const std::span<const char> text = from.buffered();
    std::size_t n = 0;
    while (n + width <= text.size() && Units::is(text.data() + n, Units::space)) n += width;
    from.take(n);
    spaces += n / width;
    if ((n + width <= text.size() && from.buffered().size() >= 4) || from.at_end()) break;
    if (Status status = from.read_more(); !status.ok()) return status;
  }
  std::array<char, 8> start{};
  const std::span<const char> next = from.buffered();
  std::copy(mark.begin(), mark.end(), start.begin());
  const std::size_t after = std::min<std::size_t>(next.size(), 4);
  std::copy_n(next.begin(), after, start.begin() + static_cast<long>(mark.size()));
  const bool keep =
      spaces > 0 && byte_order_mark(std::span(start).first(mark.size() + after)).encoding !=
                        byte_order_mark(mark).encoding;
  if (!Write && spaces > 0 && !keep) {
    differs = true;
    return {};
  }
  if constexpr (Write) {
    // Kept, they are written back one unit at a time: a file that needs it is rare.
    for (; keep && spaces > 0; --spaces) {
      if (Status status = put(*to, Units::space); !status.ok()) return status;
    }
  }
  Strip<Units, Write> strip(!keep);
  for (;;) {
    const std::span<const char> text = from.buffered();
    const std::size_t whole = text.size() / width * width;
    if (whole == 0 && from.at_end()) {
      // The bytes of an incomplete last unit stay as they are.
      if constexpr (Write) {
        if (Status status = put(*to, text); !status.ok()) return status;
        return to->flush();
      }
      return {};
    }
    std::size_t take = whole;
    if constexpr (Write) {
      // Every unit may become two: a LF alone becomes CR LF. The output is
      // handed on when it is nearly full, or half full and short of room
      // for all that is buffered, so that the text goes in large pieces.
      const std::size_t room = to->room().size();
      if (room < 4 * width || (room < 2 * whole && to->used() >= room)) {
        if (Status status = to->flush(); !status.ok()) return status;
      }
      take = std::min(whole, to->room().size() / (2 * width) * width);
    }
    // A CR is held back until what follows it is known, unless the file
    // ends with it.
    const bool all = take == whole;
    if ((!all || !from.at_end()) && take > 0 && Units::is(text.data() + take - width, Units::cr)) {
      take -= width;
    }
    char* const out = Write ? to->room().data() : nullptr;
    char* const end = strip.run(text.first(take), out);
    if (!Write && strip.differs()) {
      differs = true;
      return {};
    }
    if constexpr (Write) to->commit(static_cast<std::size_t>(end - out));
    from.take(take);
    if (all && !from.at_end()) {
      if (Status status = from.read_more(); !status.ok()) return status;
    }
  }
}

// A pass in the encoding that the byte-order mark at the target's start
// announces: target is at its start, and input holds nothing yet.
template <bool Write>
Status strip_pass(File& target, File* work, std::span<char> input, std::span<char> output,
                  Checksum* read_sum, StripOutcome& outcome) {
  // The mark is within the first four bytes. The first read asks for a full
  // buffer, as every later one does; only a read that returns fewer than
  // four bytes is followed by another before the mark is known.
  std::size_t buffered = 0;
  std::size_t got = 0;
  do {
    if (Status status = target.read(input.subspan(buffered), got); !status.ok()) return status;
    buffered += got;
  } while (buffered < 4 && got != 0);
  const ByteOrderMark mark = byte_order_mark(input.first(std::min<std::size_t>(buffered, 4)));
  InputStream from(target, input, buffered, read_sum);
  from.take(mark.size);
  std::optional<OutputStream> to;
  if constexpr (Write) {
    to.emplace(*work, output);
    if (Status status = put(*to, input.first(mark.size)); !status.ok()) return status;
  }
  OutputStream* const into = to ? &*to : nullptr;
  // In the order of Encoding: UTF-8 is read as bytes.
  using Pass = Status (*)(InputStream&, OutputStream*, std::span<const char>, bool&);
  static constexpr Pass passes[] = {strip_text<Bytes, Write>,   strip_text<Bytes, Write>,
                                    strip_text<Utf16Le, Write>, strip_text<Utf16Be, Write>,
                                    strip_text<Utf32Le, Write>, strip_text<Utf32Be, Write>};
  std::array<char, 4> mark_bytes{};
  std::copy_n(input.begin(), mark.size, mark_bytes.begin());
  Status status = passes[static_cast<int>(mark.encoding)](
      from, into, std::span(mark_bytes).first(mark.size), outcome.differs);
  outcome.bytes_read = from.bytes_read();
  if (to) {
    outcome.length = to->sum().length();
    outcome.sum = to->sum().value();
  }
  return status;
}

}  // namespace

Status strip_file(File& target, File& work, std::span<char> input, std::span<char> output,
                  bool sum_read, StripOutcome& outcome) {
  // The work file receives the text exactly as it is to stand in the target,
  // CR LF line ends included, so that copying it back is a plain copy.
  if (Status status = strip_pass<false>(target, nullptr, input, output, nullptr, outcome);
      !status.ok() || !outcome.differs) {
    return status;
  }
  if (Status status = target.rewind(); !status.ok()) return status;
  Checksum read;
  Status status =
      strip_pass<true>(target, &work, input, output, sum_read ? &read : nullptr, outcome);
  outcome.read_sum = read.value();
  return status;
}

}  // namespace ostrel
