#include "rewrite/indent_removal.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <optional>
#include <string_view>

#include "rewrite/strip_pass.h"
#include "streams/checksum.h"

namespace ostrel {

namespace {

namespace stdfs = std::filesystem;

// Read-ahead and write-behind buffers: large enough that system calls cost
// little per byte, small enough that memory use stays flat.
constexpr std::size_t STREAM_BUFFER_SIZE = std::size_t{128} * 1024;

// The write-back goes in pieces of this size, so that it stops soon after
// the OS stops keeping other programs out.
constexpr std::uint64_t WRITE_BACK_PIECE = std::uint64_t{16} << 20;

constexpr std::string_view kSavedPrefix = "ostrel-saved-";

std::string hex(std::uint64_t value) {
  char text[16];
  const auto end = std::to_chars(text, text + sizeof text, value, 16).ptr;
  return {text, end};
}

std::uint64_t checksum_of(std::string_view text) {
  Checksum sum;
  sum.add(text);
  return sum.value();
}

// Reads until into is full or the file ends.
Status read_full(File& file, std::span<char> into, std::size_t& got) {
  got = 0;
  while (got < into.size()) {
    std::size_t n = 0;
    if (Status status = file.read(into.subspan(got), n); !status.ok()) return status;
    if (n == 0) break;
    got += n;
  }
  return {};
}

// Adds the bytes of file, from its start to its end, to sum.
Status add_file(File& file, std::span<char> buffer, Checksum& sum) {
  Status status = file.rewind();
  for (std::size_t got = 1; status.ok() && got > 0;) {
    status = read_full(file, buffer, got);
    sum.add(buffer.first(got));
  }
  return status;
}

// How many bytes file a has of the start of text b, when they are followed
// by nothing but zero bytes (blocks that a crash of the system left
// allocated and never written): what a write-back cut short leaves; else
// kNotStart. a's bytes go into a_sum. Both are read from their start; b is
// left just past the bytes compared.
constexpr std::uint64_t kNotStart = UINT64_MAX;
Status starts_text(File& a, File& b, std::span<char> a_buffer, std::span<char> b_buffer,
                   Checksum& a_sum, std::uint64_t& same) {
  same = kNotStart;
  Status status = a.rewind();
  if (status.ok()) status = b.rewind();
  std::uint64_t start = 0;
  bool past_text = false;  // only zero bytes may follow
  for (std::size_t got = 1; status.ok() && got > 0;) {
    status = read_full(a, a_buffer, got);
    std::size_t matched = 0;
    if (status.ok() && !past_text) status = read_full(b, b_buffer.first(got), matched);
    if (!status.ok()) break;
    a_sum.add(a_buffer.first(got));
    const auto tail = std::mismatch(a_buffer.begin(), a_buffer.begin() + static_cast<long>(matched),
                                    b_buffer.begin())
                          .first;
    const auto rest = past_text ? a_buffer.begin() : tail;
    if (!past_text) start += static_cast<std::uint64_t>(tail - a_buffer.begin());
    past_text = past_text || rest != a_buffer.begin() + static_cast<long>(got);
    if (std::any_of(rest, a_buffer.begin() + static_cast<long>(got),
                    [](char c) { return c != 0; })) {
      return {};
    }
  }
  if (status.ok()) same = start;
  return status;
}

bool same_content_and_times(const FileState& a, const FileState& b) {
  return a.identity == b.identity && a.size == b.size && a.modified == b.modified &&
         a.changed == b.changed;
}

// Who is trusted with the new text. It is kept only in a directory where
// nobody but the user and the administrator can create or rename names
// (owned by one of them, and writable by nobody else), so that nothing
// another user does can stop, steer or feed a run; and a text found there
// is used only if it is a regular file of the user's own, with no other
// name, that nobody else may write. Its bytes are checked against the
// length and checksum in its name besides.
bool trusted_place(const FileState& dir) {
  return (dir.owned_by_user || dir.owned_by_system) && !dir.writable_by_others;
}
std::optional<Distrust> distrust(const FileState& state) {
  if (!state.regular) return Distrust::not_regular;
  if (!state.owned_by_user) return Distrust::foreign;
  if (state.writable_by_others) return Distrust::writable_by_others;
  if (state.links != 1) return Distrust::other_names;
  return std::nullopt;
}

// A directory where the new text may be kept, and the key that names texts
// there: beside the file, its name, which a remount or a copy of the
// folder keeps; in the private directory, its whole path.
struct Place {
  stdfs::path dir;
  std::string key;
  bool lasting = false;  // it outlives a restart
};

// The name of a new text of length bytes and checksum sum, kept at place;
// the length and checksum check it when it is found.
stdfs::path saved_name(const Place& place, std::uint64_t length, std::uint64_t sum) {
  return place.dir / path_from_utf8(std::string(kSavedPrefix) + place.key + "." +
                                    std::to_string(length) + "." + hex(sum));
}

// The mark: which file it was made on, and where that file's new text is.
std::string mark_of(const FileIdentity& made_on, const stdfs::path& text) {
  return hex(made_on.device) + ":" + hex(made_on.file) + ":" +
         hex(static_cast<std::uint64_t>(made_on.born)) + ":" + utf8_of(text);
}
bool parse_mark(const std::string& mark, FileIdentity& made_on, stdfs::path& text) {
  std::uint64_t numbers[3] = {};
  const char* at = mark.data();
  const char* const end = mark.data() + mark.size();
  for (std::uint64_t& number : numbers) {
    const auto [next, error] = std::from_chars(at, end, number, 16);
    if (error != std::errc{} || next == end || *next != ':') return false;
    at = next + 1;
  }
  made_on = {numbers[0], numbers[1], static_cast<std::int64_t>(numbers[2])};
  text = path_from_utf8(std::string(at, end));
  return true;
}

// What a saved text's name says of it: false if it is not such a name.
bool parse_saved(const std::string& name, std::uint64_t& length, std::uint64_t& sum) {
  const std::size_t dot = name.rfind('.');
  const std::size_t first = dot == std::string::npos ? dot : name.rfind('.', dot - 1);
  if (first == std::string::npos || !name.starts_with(kSavedPrefix)) return false;
  const char* end = name.data() + name.size();
  const auto a = std::from_chars(name.data() + first + 1, name.data() + dot, length);
  const auto b = std::from_chars(name.data() + dot + 1, end, sum, 16);
  return a.ec == std::errc{} && a.ptr == name.data() + dot && b.ec == std::errc{} && b.ptr == end &&
         dot + 1 < name.size();
}

// The text an earlier run kept for the file: where its mark or its name
// says it is, and, once found whole, open.
struct SavedText {
  stdfs::path path;
  std::uint64_t length = 0;
  std::uint64_t sum = 0;
  std::unique_ptr<File> file;
  FileState state;
  std::optional<Distrust> doubt;  // why it was not used, if it was found
  Status unreadable;              // the error, when it could not be read
};

class Rewrite {
 public:
  Rewrite(FileSystem& file_system, const std::string& name, const RewriteEvents& events)
      : fs_(file_system), path_(path_from_utf8(name)), events_(events) {}

  void run() {
    const RewriteResult result = rewrite();
    // Closed before the outcome is told, so that what is told is final.
    if (earlier_ && earlier_->file != nullptr) static_cast<void>(earlier_->file->close());
    if (work_ != nullptr) {
      // Every byte of the work file has been read back or saved by now, so a
      // failure to close it can cost nothing.
      static_cast<void>(work_->close());
    }
    lock_.reset();
    events_.report(result);
  }

 private:
  RewriteResult rewrite() {
    if (Status status = open_target(); !status.ok()) {
      return outcome(RewriteOutcome::open_failed, status);
    }
    if (Status status = lock_target(); !status.ok()) return unchanged(status);
    // Where the OS grants it, nobody else opens the file from before the
    // first look to the end of the run, so no write can be under way or
    // begin unseen; where not, the bytes read are checked again before the
    // emptying, and the bytes written after it.
    leased_ = target_->keep_openers_waiting();
    FileState before;
    if (Status status = target_->state(before); !status.ok()) return unchanged(status);
    identity_ = before.identity;
    memory_[0] = std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE);
    memory_[1] = std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE);
    input_ = {memory_[0].get(), STREAM_BUFFER_SIZE};
    output_ = {memory_[1].get(), STREAM_BUFFER_SIZE};
    if (Status status = find_places(); !status.ok()) return unchanged(status);

    // A run stopped while it wrote the file back left the file marked and
    // the whole new text saved: finish its work first, or leave all alone.
    if (auto stop = recover(before)) return *stop;

    StripOutcome stripped;
    if (Status status = strip(stripped); !status.ok()) return unchanged(status);
    // More or fewer bytes than the file holds: it changed while it was read,
    // or it is no plain file on disk whatever it says (a file of /proc).
    if (stripped.bytes_read != before.size) return outcome(RewriteOutcome::changed);
    if (earlier_) {
      // The earlier run stopped before it emptied the file, if its text is
      // what this run made again; else the file has changed since.
      if (!stripped.changed || stripped.length != earlier_->length ||
          stripped.sum != earlier_->sum) {
        return about_earlier();
      }
      drop_earlier();
    }
    // A file that needs no change is left as it is, times and all.
    if (!stripped.changed) {
      tell(Notice::copying_back);
      return {};
    }

    // From here until the outcome is told, a request to end the process
    // waits: it must neither leave the lasting name behind nor cut the
    // write-back short.
    hold();
    RewriteResult result;
    Lasting lasting(*this);
    if (!give_lasting_name(stripped, before, lasting, result.save_errors)) {
      if (!mark_error_.ok()) return unchanged(mark_error_);
      result.outcome = RewriteOutcome::not_saved;
      return result;
    }
    read_sum_ = stripped.read_sum;
    if (auto stop = write_back(*work_, stripped.length, stripped.sum, before, lasting.path, true)) {
      lasting.kept = stop->outcome == RewriteOutcome::failed_after_emptying ||
                     stop->outcome == RewriteOutcome::others_let_in;
      return *stop;
    }
    // Done, and on disk. The lasting name goes while the lock is still
    // held, then the mark: should the mark stay, the next run finds the
    // file whole and removes it.
    return {};
  }

  // The lasting name of the new text, and the mark that leads to it, until
  // it goes out of scope: then both go, unless kept.
  struct Lasting {
    explicit Lasting(Rewrite& run) : run_(run) {}
    Lasting(const Lasting&) = delete;
    Lasting& operator=(const Lasting&) = delete;
    ~Lasting() {
      if (kept) return;
      if (named_work) {
        static_cast<void>(run_.work_->unname());
      } else if (!path.empty()) {
        static_cast<void>(run_.fs_.remove(path, copy));
      }
      if (marked) static_cast<void>(run_.target_->write_mark({}));
    }
    Rewrite& run_;
    stdfs::path path;  // once given
    bool named_work = false;
    bool marked = false;
    FileIdentity copy;  // the lasting name's file, when it is a copy
    bool kept = false;
  };

  // Empties the target and writes source, of length bytes with checksum
  // sum, into it in its place, and forces it to disk; the target must still
  // be as it was when first looked at (before). The whole text is under the
  // lasting name saved. Returns the outcome if it could not be done.
  std::optional<RewriteResult> write_back(File& source, std::uint64_t length, std::uint64_t sum,
                                          const FileState& before, const stdfs::path& saved,
                                          bool announce) {
    // Told before the last check, not between it and the emptying: telling
    // may take any time (a terminal stopped with Ctrl-S, a full pipe), and
    // whatever another program writes meanwhile must be seen, not emptied.
    if (announce) tell(Notice::copying_back);
    if (auto stop = changed_since(before)) return stop;
    if (hold_->pending()) return outcome(RewriteOutcome::interrupted);

    // From here on the target holds only what has been copied back so far;
    // the whole new text is under its lasting name until it is all back.
    if (Status status = target_->truncate(); !status.ok()) {
      // Refused outright, the file is as it was: nothing to keep.
      FileState now;
      if (target_->state(now).ok() && same_content_and_times(before, now)) {
        return unchanged(status);
      }
      return outcome(RewriteOutcome::failed_after_emptying, status, saved);
    }
    Status status = source.rewind();
    for (std::uint64_t copied = 0; status.ok();) {
      // Once the OS lets another program in, it may write: nothing more is
      // written over what it may have written.
      if (leased_ && !target_->openers_still_wait()) {
        return outcome(RewriteOutcome::others_let_in, {}, saved);
      }
      const std::uint64_t start = copied;
      status = source.copy_to(*target_, input_, WRITE_BACK_PIECE, copied);
      if (copied == start) break;  // the end of the text
    }
    if (status.ok()) status = target_->sync();
    FileState now;
    if (status.ok()) status = target_->state(now);
    if (!status.ok()) return outcome(RewriteOutcome::failed_after_emptying, status, saved);
    // Whole, and nobody else was let in meanwhile: checked, not assumed.
    // Where nobody was kept out, the bytes on disk are read back.
    // Then looked at again: a write while it is read shows in the times.
    Checksum back;
    FileIdentity named;
    FileState after = now;
    if (!leased_) status = add_file(*target_, input_, back);
    if (status.ok() && !leased_) status = target_->state(after);
    if (status.ok()) status = fs_.identity_of(path_, named);
    if (!status.ok()) return outcome(RewriteOutcome::failed_after_emptying, status, saved);
    if (now.size != length || (leased_ && !target_->openers_still_wait()) ||
        (!leased_ && (back.value() != sum || !same_content_and_times(now, after))) ||
        named != identity_) {
      return outcome(RewriteOutcome::others_let_in, {}, saved);
    }
    return std::nullopt;
  }

  // saved: where the whole new text is, for the outcomes that name it.
  static RewriteResult outcome(RewriteOutcome kind, const Status& status = {},
                               const stdfs::path& saved = {}) {
    RewriteResult result;
    result.outcome = kind;
    if (!status.ok()) result.error = status.error();
    result.saved_as = utf8_of(saved);
    return result;
  }
  static RewriteResult unchanged(const Status& status) {
    return outcome(RewriteOutcome::failed_unchanged, status);
  }
  // The outcome when the earlier run's text cannot be used, and the file
  // neither holds it nor is what it was made from.
  RewriteResult about_earlier() const {
    const SavedText& text = *earlier_;
    RewriteResult result = outcome(RewriteOutcome::saved_differs, text.unreadable, text.path);
    if (text.file == nullptr) {
      result.outcome = RewriteOutcome::saved_unused;
      result.distrust = text.doubt.value_or(Distrust::missing);
    }
    result.maybe_deleted_files = !marks_;
    return result;
  }

  void tell(Notice notice, const std::string& path = {}) const {
    if (events_.told) events_.told(notice, path);
  }

  void hold() {
    if (hold_ == nullptr) hold_ = fs_.hold_interrupts();
  }

  Status open_target() {
    std::unique_ptr<File> file;
    Status status = fs_.open_for_update(path_, file, false);
    if (status.ok() && file == nullptr) {
      tell(Notice::waiting);
      status = fs_.open_for_update(path_, file, true);
    }
    if (status.ok()) target_ = std::move(file);
    return status;
  }

  Status lock_target() {
    if (Status status = target_->lock(false, lock_); !status.ok() || lock_ != nullptr) {
      return status;
    }
    tell(Notice::waiting);
    return target_->lock(true, lock_);
  }

  // Where the new text of the file may be kept: beside it (its symbolic
  // links resolved), where it lasts as long as the file does and can be
  // copied back within one file system; else in the user's private
  // directory. Only trusted places, and one that outlives a restart before
  // one that does not.
  Status find_places() {
    stdfs::path real;
    if (Status status = target_->real_path(real); !status.ok()) return status;
    private_ = fs_.private_directory();
    const std::pair<stdfs::path, std::string> candidates[] = {
        {real.parent_path(), hex(checksum_of(utf8_of(real.filename())))},
        {private_, hex(checksum_of(utf8_of(real)))}};
    for (const auto& [dir, key] : candidates) {
      FileState state;
      if (dir.empty() || !fs_.state_of(dir, state).ok() || !trusted_place(state)) continue;
      places_.push_back({dir, key, state.survives_restart || dir == real.parent_path()});
    }
    std::stable_partition(places_.begin(), places_.end(),
                          [](const Place& place) { return place.lasting; });
    return {};
  }

  // Finds what an earlier run that stopped in its write-back left: the mark
  // on the file, and a text named for the file in a trusted place (a copy
  // never finished is removed). The file
  // whole, the text goes; the file the start of the text, the write-back is
  // finished. Otherwise earlier_ stays set for the strip pass to decide.
  std::optional<RewriteResult> recover(FileState& before) {
    std::string mark;
    if (Status status = target_->read_mark(mark, marks_); !status.ok()) return unchanged(status);
    // This file's texts: the one its mark names, if the mark was made on
    // this very file (by any name); and those named for it in its places,
    // which a remount, a copy of the folder or one without its marks keep.
    // A mark made on another file came with a copy of it: its text is that
    // file's, and is never used or removed here.
    FileIdentity marked_on;
    stdfs::path marked;
    const bool marked_here = parse_mark(mark, marked_on, marked) && marked_on == identity_;
    std::vector<stdfs::path> paths;
    if (marked_here) paths.push_back(marked);
    for (const Place& place : places_) {
      std::vector<std::string> names;
      const std::string prefix = std::string(kSavedPrefix) + place.key + ".";
      if (Status status = fs_.names_in(place.dir, prefix, names); !status.ok()) {
        return unchanged(status);
      }
      for (const std::string& name : names) {
        stdfs::path path = place.dir / path_from_utf8(name);
        if (!name.ends_with(".part")) {
          paths.push_back(std::move(path));
        } else if (FileState state; fs_.identity_of(path, state.identity).ok()) {
          static_cast<void>(fs_.remove(path, state.identity));
        }
      }
    }
    if (paths.empty() && mark.empty()) return std::nullopt;
    earlier_.emplace();
    earlier_->path = paths.empty() ? marked : paths.front();
    if (paths.empty()) earlier_->doubt = Distrust::another_files;
    if (!parse_saved(utf8_of(earlier_->path.filename()), earlier_->length, earlier_->sum)) {
      earlier_->path = path_from_utf8(mark);
      return about_earlier();
    }
    for (const stdfs::path& path : paths) {
      if (Status status = open_saved(path); !status.ok()) {
        earlier_->path = path;
        earlier_->doubt = Distrust::unreadable;
        earlier_->unreadable = status;
      }
      if (earlier_->file != nullptr) break;
    }
    // Whole: the write-back was complete, and only the text and the mark
    // are left to go.
    Checksum now;
    if (before.size == earlier_->length) {
      if (Status status = add_file(*target_, input_, now); !status.ok()) return unchanged(status);
      // On disk before the text goes: the run that wrote it back may have
      // been killed before it forced it there.
      if (now.value() == earlier_->sum) {
        if (Status status = target_->sync(); !status.ok()) return unchanged(status);
        drop_earlier();
        return rewind_target();
      }
    }
    if (earlier_->file == nullptr || before.size > earlier_->length) return std::nullopt;
    std::uint64_t same = 0;
    read_sum_ = {};
    Checksum read;
    if (Status status = starts_text(*target_, *earlier_->file, input_, output_, read, same);
        !status.ok()) {
      return unchanged(status);
    }
    if (same == kNotStart) return std::nullopt;
    // Only a mark tells an emptied file, or one of zero bytes, from a new
    // one made where a file that was being written back stood.
    if (same == 0 && mark.empty()) {
      return outcome(RewriteOutcome::saved_unsure, {}, earlier_->path);
    }
    read_sum_ = read.value();
    hold();
    if (auto stop = write_back(*earlier_->file, earlier_->length, earlier_->sum, before,
                               earlier_->path, false)) {
      return stop;
    }
    tell(Notice::resumed, utf8_of(earlier_->path));
    drop_earlier();
    // What is checked from here on is the file as the write-back left it.
    if (Status status = target_->state(before); !status.ok()) return unchanged(status);
    return rewind_target();
  }

  std::optional<RewriteResult> rewind_target() {
    if (Status status = target_->rewind(); !status.ok()) return unchanged(status);
    return std::nullopt;
  }

  // Opens the text at path if it is there, trusted and whole; records why
  // not if it is there but not so.
  Status open_saved(const stdfs::path& path) {
    SavedText& text = *earlier_;
    FileIdentity named;
    FileState dir;
    std::unique_ptr<File> file;
    if (!fs_.identity_of(path, named).ok() || !fs_.state_of(path.parent_path(), dir).ok()) {
      return {};  // not there
    }
    text.path = path;
    // The target under another name is not opened: that would break this
    // run's own lease.
    text.doubt = named == identity_    ? Distrust::the_target
                 : !trusted_place(dir) ? std::optional(Distrust::shared_directory)
                                       : std::nullopt;
    if (text.doubt) return {};
    if (Status status = fs_.open_for_reading(path, file); !status.ok() || file == nullptr) {
      return status;
    }
    FileState state;
    Checksum sum;
    if (Status status = file->state(state); !status.ok()) return status;
    text.doubt = distrust(state);
    if (text.doubt) return {};
    if (Status status = add_file(*file, input_, sum); !status.ok()) return status;
    if (state.size != text.length || sum.value() != text.sum) {
      text.doubt = Distrust::altered;
      return {};
    }
    text.state = state;
    text.file = std::move(file);
    return {};
  }

  // The earlier run's work is done: its text goes, if it was found whole,
  // and then the mark.
  void drop_earlier() {
    if (earlier_->file != nullptr && earlier_->file->close().ok()) {
      static_cast<void>(fs_.remove(earlier_->path, earlier_->state.identity));
    }
    if (marks_) static_cast<void>(target_->write_mark({}));
    earlier_.reset();
  }

  // The strip pass into a work file at the first trusted place that takes
  // it all: where one runs out of room, the next is tried.
  Status strip(StripOutcome& stripped) {
    // No trusted place at all: the private directory is not the user's.
    Status first = Error{Operation::create, utf8_of(private_), kPermissionDenied, true};
    for (std::size_t at = 0; at < places_.size(); ++at) {
      work_.reset();
      Status status = fs_.create_work_file(places_[at].dir, work_);
      if (status.ok()) status = target_->rewind();
      if (status.ok()) {
        stripped = {};
        status = strip_file(*target_, *work_, input_, output_, !leased_, stripped);
        if (status.ok()) {
          work_place_ = at;
          return status;
        }
        if (!status.error().work_file || !out_of_room(status.error().code)) return status;
      }
      if (at == 0) first = std::move(status);
    }
    return first;
  }

  // Gives the whole new text a name that outlives the process, on stable
  // storage, and marks the file with it first: the work file itself named
  // where it is, else a complete copy at the first place that takes one. On
  // failure, says why for every place; a mark that cannot be made stops it
  // with mark_error_ alone: without the mark, a run through another name
  // would not find the text. Marking changes the file's change time, and
  // nothing else: before takes the new one.
  bool give_lasting_name(const StripOutcome& text, FileState& before, Lasting& lasting,
                         std::vector<Error>& errors) {
    const auto mark = [&](const stdfs::path& place) {
      if (!marks_) return true;
      lasting.marked = true;
      Status status = target_->write_mark(mark_of(identity_, place));
      if (status.ok()) status = target_->sync();
      FileState now;
      if (status.ok()) status = target_->state(now);
      if (status.ok() && now.size == before.size && now.modified == before.modified) {
        before.changed = now.changed;
      }
      mark_error_ = status;
      return status.ok();
    };
    const stdfs::path place = saved_name(places_[work_place_], text.length, text.sum);
    if (!mark(place)) return false;
    Status status = work_->sync();
    if (status.ok()) status = work_->name_as(place);
    if (status.ok()) {
      lasting.named_work = true;
      lasting.path = place;
      status = fs_.sync_directory(place.parent_path());
      if (status.ok()) return kept_at(places_[work_place_], place);
      static_cast<void>(work_->unname());
      lasting.named_work = false;
      lasting.path.clear();
    }
    errors.push_back(at(status, place));
    for (const Place& other : places_) {
      const stdfs::path copy = saved_name(other, text.length, text.sum);
      if (!mark(copy)) return false;
      if (status = save_copy(copy, lasting.copy); status.ok()) {
        lasting.path = copy;
        return kept_at(other, copy);
      }
      errors.push_back(at(status, copy));
    }
    return false;
  }

  bool kept_at(const Place& place, const stdfs::path& path) const {
    if (!place.lasting) tell(Notice::kept_where_restart_empties, utf8_of(path));
    return true;
  }

  static Error at(const Status& status, const stdfs::path& place) {
    Error error = status.error();
    error.path = utf8_of(place);
    return error;
  }

  // A copy is written under another name, flushed, and named place only
  // once it is complete, so that a run stopped meanwhile leaves no part of
  // it there; then the name is flushed too.
  Status save_copy(const stdfs::path& place, FileIdentity& identity) {
    stdfs::path partial = place;
    partial += ".part";
    std::unique_ptr<File> copy;
    if (Status status = fs_.create_new(partial, copy); !status.ok()) return status;
    FileState state;
    Status status = copy->state(state);
    // Failing that, what the new name leads to is the copy just made.
    if (!status.ok()) static_cast<void>(fs_.identity_of(partial, state.identity));
    if (status.ok()) status = work_->rewind();
    for (std::uint64_t copied = 0, start = 1; status.ok() && copied != start;) {
      start = copied;
      status = work_->copy_to(*copy, input_, UINT64_MAX, copied);
    }
    if (status.ok()) status = copy->sync();
    if (status.ok()) status = copy->close();
    if (status.ok()) status = fs_.rename_new(partial, place);
    if (status.ok()) {
      identity = state.identity;
      status = fs_.sync_directory(place.parent_path());
      if (status.ok()) return {};
      static_cast<void>(fs_.remove(place, state.identity));
    }
    // Closed first: Windows removes no file that is open.
    copy.reset();
    static_cast<void>(fs_.remove(partial, state.identity));
    return status;
  }

  // Stops the run unless the target is still what was read: the same size
  // and times, still the file its name leads to, nobody else let in, and,
  // where others were not kept out, the same bytes as were read.
  std::optional<RewriteResult> changed_since(const FileState& before) {
    // Looked at after the bytes are read, so that a write while they are
    // read shows in the times.
    Checksum bytes;
    Status status = leased_ ? Status{} : add_file(*target_, input_, bytes);
    FileState now;
    if (status.ok()) status = target_->state(now);
    if (!status.ok()) return unchanged(status);
    FileIdentity named;
    if (!same_content_and_times(before, now) || !fs_.identity_of(path_, named).ok() ||
        named != before.identity || (leased_ && !target_->openers_still_wait()) ||
        (!leased_ && bytes.value() != read_sum_)) {
      return outcome(RewriteOutcome::changed);
    }
    return std::nullopt;
  }

  FileSystem& fs_;
  stdfs::path path_;
  const RewriteEvents& events_;
  std::unique_ptr<InterruptHold> hold_;  // declared first of the resources: released last
  std::unique_ptr<File> target_;
  std::unique_ptr<FileLock> lock_;
  std::unique_ptr<WorkFile> work_;
  bool leased_ = false;  // other programs that open the target wait
  bool marks_ = false;   // the target's file system keeps marks
  FileIdentity identity_;
  // Where no lease stands: the checksum of the bytes the text to be written
  // back was made from, or compared with.
  std::uint64_t read_sum_ = 0;
  std::optional<SavedText> earlier_;
  std::unique_ptr<char[]> memory_[2];
  std::span<char> input_;
  std::span<char> output_;
  std::vector<Place> places_;  // where the new text may be kept, the best first
  std::size_t work_place_ = 0;
  stdfs::path private_;  // the user's private directory, if any
  Status mark_error_;
};

}  // namespace

void run_indent_removal(FileSystem& file_system, const std::string& name,
                        const RewriteEvents& events) {
  Rewrite(file_system, name, events).run();
}

}  // namespace ostrel
