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

  // Strips text, whole units that do not end with a CR whose LF may follow,
  // into out, which has room for twice as many bytes; returns where the
  // output ends. text's memory may be read up to text_limit.
  char* run(std::span<const char> text, const char* text_limit, char* out, const char* out_limit) {
    const char* const end = text.data() + text.size();
    const char* kept = text.data();  // the start of the stretch not copied yet
    bool short_moves = false;
    // Copies the stretch up to `to`. Most are short: those are moved as 64
    // bytes at once where both buffers reach that far (the bytes past the
    // stretch are written over next).
    const auto stretch = [&](const char* to) {
      if constexpr (Write) {
        const auto size = static_cast<std::size_t>(to - kept);
        if (size <= 64 && short_moves) {
          std::memcpy(out, kept, 64);  // a constant size: four moves, no call
        } else {
          std::memcpy(out, kept, size);
        }
        out += size;
      }
    };
    // The text is searched 64 bytes at a time: the bit masks of one such
    // window show where it changes, and a window without a change costs
    // nothing more. A CR before the text's first unit was held back.
    bool line_start = line_start_;
    bool cr_before = false;
    for (const char* window = text.data(); window < end; window += 64) {
      const auto size = static_cast<std::size_t>(std::min<std::ptrdiff_t>(end - window, 64));
      const std::uint64_t lfs = Units::matches(window, end, Units::lf);
      const std::uint64_t crs = Units::matches(window, end, Units::cr);
      const std::uint64_t spaces = Units::matches(window, end, Units::space);
      const std::uint64_t line_starts = lfs << width | std::uint64_t{line_start};
      const std::uint64_t lone_lfs = lfs & ~(crs << width | std::uint64_t{cr_before});
      std::uint64_t changes = lone_lfs | (spaces & line_starts);
      line_start = (lfs >> (size - width) & 1) != 0;
      cr_before = (crs >> (size - width) & 1) != 0;
      if (changes == 0) continue;
      if (!Write) return change();
      // A stretch that ends in this window and is 64 bytes long at most
      // starts at most 64 bytes before it; the output grows by 128 at most.
      short_moves = text_limit - window >= 128 && out_limit - out >= 192;
      const std::uint64_t others = ~spaces & Units::firsts;  // past the end too
      while (changes != 0) {
        const auto at = static_cast<std::size_t>(std::countr_zero(changes));
        std::size_t indent = at;  // where the spaces to pass over start
        if ((lone_lfs >> at & 1) != 0) {
          stretch(window + at);
          std::memcpy(out, crlf.data(), crlf.size());
          out += crlf.size();
          // The next line's indent, if any, goes in the same step.
          indent = at + width;
          if (indent == size) {
            kept = window + size;
            break;
          }
        } else if (kept != window + at) {
          stretch(window + at);
        }
        // An indent ends at the next unit that is no space, which may be in
        // the next window, or the next text.
        const std::size_t stop = indent + std::countr_zero(others >> indent);
        kept = window + std::min(stop, size);
        if (stop >= size) {
          line_start = true;
          break;
        }
        changes &= ~std::uint64_t{0} << stop;
      }
    }
    stretch(end);
    line_start_ = line_start;
    return out;
  }

  bool changed() const { return changed_; }

 private:
  char* change() {
    changed_ = true;
    return nullptr;
  }

  static constexpr std::array<char, 2 * width> crlf = [] {
    std::array<char, 2 * width> both{};
    std::copy_n(Units::cr.begin(), width, both.begin());
    std::copy_n(Units::lf.begin(), width, both.begin() + width);
    return both;
  }();

  bool line_start_ = true;
  bool changed_ = false;
};

// Writes bytes to the stream as they are.
Status put(OutputStream& to, std::span<const char> bytes) {
  if (to.room().size() < bytes.size()) {
    if (Status status = to.flush(); !status.ok()) return status;
  }
  std::memcpy(to.room().data(), bytes.data(), bytes.size());
  to.commit(bytes.size());
  return {};
}

// One pass over the target in one encoding, from just after the mark: into
// `to`, or, without one, only to see whether the text changes (changed is
// set only then).
template <class Units, bool Write>
Status strip_text(InputStream& from, OutputStream* to, bool& changed) {
  constexpr std::size_t width = Units::width;
  Strip<Units, Write> strip;
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
      // Every unit may become two: a LF alone becomes CR LF.
      if (to->room().size() < 4 * width) {
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
    const char* const out_limit = Write ? out + to->room().size() : nullptr;
    char* const end = strip.run(text.first(take), from.limit(), out, out_limit);
    if (!Write && strip.changed()) {
      changed = true;
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
                  StripOutcome& outcome) {
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
  InputStream from(target, input, buffered);
  from.take(mark.size);
  std::optional<OutputStream> to;
  if constexpr (Write) {
    to.emplace(*work, output);
    if (Status status = put(*to, input.first(mark.size)); !status.ok()) return status;
  }
  OutputStream* const into = to ? &*to : nullptr;
  Status status;
  switch (mark.encoding) {
    case Encoding::utf16le:
      status = strip_text<Utf16Le, Write>(from, into, outcome.changed);
      break;
    case Encoding::utf16be:
      status = strip_text<Utf16Be, Write>(from, into, outcome.changed);
      break;
    case Encoding::utf32le:
      status = strip_text<Utf32Le, Write>(from, into, outcome.changed);
      break;
    case Encoding::utf32be:
      status = strip_text<Utf32Be, Write>(from, into, outcome.changed);
      break;
    case Encoding::bytes:
    case Encoding::utf8:
      status = strip_text<Bytes, Write>(from, into, outcome.changed);
      break;
  }
  outcome.bytes_read = from.bytes_read();
  return status;
}

}  // namespace

Status strip_file(File& target, File& work, std::span<char> input, std::span<char> output,
                  StripOutcome& outcome) {
  // The work file receives the text exactly as it is to stand in the target,
  // CR LF line ends included, so that copying it back is a plain copy.
  if (Status status = strip_pass<false>(target, nullptr, input, output, outcome);
      !status.ok() || !outcome.changed) {
    return status;
  }
  if (Status status = target.rewind(); !status.ok()) return status;
  return strip_pass<true>(target, &work, input, output, outcome);
}

}  // namespace ostrel
