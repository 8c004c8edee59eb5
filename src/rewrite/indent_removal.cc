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
// kNotStart. Both are read from their start.
constexpr std::uint64_t kNotStart = UINT64_MAX;
Status starts_text(File& a, File& b, std::span<char> a_buffer, std::span<char> b_buffer,
                   std::uint64_t& same) {
  same = kNotStart;
  Status status = a.rewind();
  if (status.ok()) status = b.rewind();
  std::uint64_t start = 0;
  bool zeros = false;  // past the start of b: only zero bytes may follow
  for (std::size_t got = 1; status.ok() && got > 0;) {
    std::size_t matched = 0;
    status = read_full(a, a_buffer, got);
    if (status.ok() && !zeros) status = read_full(b, b_buffer.first(got), matched);
    const auto end = a_buffer.begin() + static_cast<long>(got);
    auto rest = a_buffer.begin();
    if (!zeros) {
      rest = std::mismatch(rest, rest + static_cast<long>(matched), b_buffer.begin()).first;
      start += static_cast<std::uint64_t>(rest - a_buffer.begin());
      zeros = rest != end;
    }
    if (std::any_of(rest, end, [](char c) { return c != 0; })) return status;
  }
  if (status.ok()) same = start;
  return status;
}

bool same_content_and_times(const FileState& a, const FileState& b) {
  return a.identity == b.identity && a.size == b.size && a.modified == b.modified &&
         a.status_changed == b.status_changed;
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
  bool survives_restart = false;
};

// How the name of a new text of length bytes and checksum sum ends; they
// check it when it is found.
std::string text_suffix(std::uint64_t length, std::uint64_t sum) {
  return '.' + std::to_string(length) + '.' + hex(sum);
}
bool names_text(const stdfs::path& path, std::uint64_t length, std::uint64_t sum) {
  return utf8_of(path.filename()).ends_with(text_suffix(length, sum));
}
stdfs::path saved_name(const Place& place, const std::string& suffix) {
  return place.dir / path_from_utf8(std::string(kSavedPrefix) + place.key + suffix);
}

// The mark: where the file's new text is, and which file it was made on.
std::string mark_of(const FileIdentity& made_on, const stdfs::path& text) {
  return utf8_of(text) + '\0' + hex(made_on.device) + ":" + hex(made_on.file) + ":" +
         hex(static_cast<std::uint64_t>(made_on.born));
}

// saved: where the whole new text is, for the outcomes that name it.
RewriteResult outcome(RewriteOutcome kind, const Status& status = {},
                      const stdfs::path& saved = {}) {
  return {kind, status.ok() ? Error{} : status.error(), utf8_of(saved)};
}
// A failure: before the emptying the file is as it was; after it, the whole
// new text is at saved.
RewriteResult failed(const Status& status, const stdfs::path& saved = {}) {
  return outcome(
      saved.empty() ? RewriteOutcome::failed_unchanged : RewriteOutcome::failed_after_emptying,
      status, saved);
}
using Stop = std::optional<RewriteResult>;
Stop stop_unless(const Status& status) {
  if (status.ok()) return std::nullopt;
  return failed(status);
}

// What every step of a run shares: the file being rewritten, open from the
// start of the run to its end and locked against other runs, and the means
// to write a whole new text into it in its place.
struct Run {
  Run(FileSystem& file_system, const std::string& name, const RewriteEvents& rewrite_events)
      : fs(file_system), path(path_from_utf8(name)), events(rewrite_events) {}

  // Opens and locks the file and finds where its new text may be kept;
  // before is what the OS says of it then.
  Status open(FileState& before) {
    Status status = fs.open_for_update(path, target, false);
    if (status.ok() && target == nullptr) {
      tell(Notice::waiting);
      status = fs.open_for_update(path, target, true);
    }
    if (!status.ok()) return status;
    bool locked = false;
    if (status = target->lock(false, locked); status.ok() && !locked) {
      tell(Notice::waiting);
      status = target->lock(true, locked);
    }
    if (!status.ok()) return status;
    // Where the OS grants it, nobody else opens the file from before the
    // first look to the end of the run, so no write can be under way or
    // begin unseen; where not, the bytes read are checked again before the
    // emptying, and the bytes written after it.
    leased = target->keep_openers_waiting();
    if (status = target->state(before); !status.ok()) return status;
    identity = before.identity;
    return find_places();
  }

  void tell(Notice notice, const std::string& text_path = {}) const {
    if (events.told) events.told(notice, text_path);
  }
  // From here until the outcome is told, a request to end the process
  // waits: it must neither leave a lasting name behind nor cut the
  // write-back short.
  void hold() {
    if (held == nullptr) held = fs.hold_interrupts();
  }

  // Stops the run with otherwise unless the target is still as expected:
  // the same size and times (looked at after its bytes are read, so that a
  // write while they are read shows in them), still the file its name leads
  // to (a name that leads nowhere now was taken away), nobody else let in,
  // and, where others were not kept out, bytes whose checksum is sum. saved
  // is empty before the emptying, and after it where the whole text is.
  Stop check(const FileState& expected, std::uint64_t sum, RewriteOutcome otherwise,
             const stdfs::path& saved) {
    Checksum bytes;
    FileState now;
    FileIdentity named;
    Status status = leased ? Status{} : add_file(*target, input, bytes);
    if (status.ok()) status = target->state(now);
    if (!status.ok()) return failed(status, saved);
    if (!same_content_and_times(expected, now) || !fs.identity_of(path, named).ok() ||
        named != identity || (leased ? !target->openers_still_wait() : bytes.value() != sum)) {
      return outcome(otherwise, {}, saved);
    }
    return std::nullopt;
  }

  // Empties the target and writes source, of length bytes with checksum
  // sum, into it in its place, and forces it to disk; the target must still
  // be as it was when first looked at (before). The whole text is under the
  // lasting name saved. Returns the outcome if it could not be done.
  Stop write_back(File& source, std::uint64_t length, std::uint64_t sum, const FileState& before,
                  const stdfs::path& saved) {
    if (auto stop = check(before, read_sum, RewriteOutcome::changed_meanwhile, {})) return stop;
    if (held->pending()) return outcome(RewriteOutcome::interrupted);

    // From here on the target holds only what has been copied back so far;
    // the whole new text is under its lasting name until it is all back.
    if (Status status = target->truncate(); !status.ok()) {
      // Refused outright, the file is as it was: nothing to keep.
      FileState now;
      const bool as_it_was = target->state(now).ok() && same_content_and_times(before, now);
      return failed(status, as_it_was ? stdfs::path() : saved);
    }
    Status status = source.rewind();
    for (std::uint64_t copied = 0; status.ok();) {
      // Once the OS lets another program in, it may write: nothing more is
      // written over what it may have written.
      if (leased && !target->openers_still_wait()) {
        return outcome(RewriteOutcome::others_let_in, {}, saved);
      }
      const std::uint64_t start = copied;
      status = source.copy_to(*target, input, WRITE_BACK_PIECE, copied);
      if (copied == start) break;  // the end of the text
    }
    if (status.ok()) status = target->sync();
    FileState now;
    if (status.ok()) status = target->state(now);
    if (!status.ok()) return failed(status, saved);
    // Whole, and nobody else was let in meanwhile: checked, not assumed.
    // Where nobody was kept out, the bytes on disk are read back.
    if (now.size != length) return outcome(RewriteOutcome::others_let_in, {}, saved);
    return check(now, sum, RewriteOutcome::others_let_in, saved);
  }

  // Where the new text of the file may be kept: beside it (its symbolic
  // links resolved), where it lasts as long as the file does and can be
  // copied back within one file system; else in the user's private
  // directory. Only trusted places; the first outlives a restart if either
  // does, as the text beside the file lasts as long as the file.
  Status find_places() {
    stdfs::path real;
    if (Status status = target->real_path(real); !status.ok()) return status;
    private_dir = fs.private_directory();
    const std::pair<stdfs::path, std::string> candidates[] = {
        {real.parent_path(), hex(checksum_of(utf8_of(real.filename())))},
        {private_dir, hex(checksum_of(utf8_of(real)))}};
    for (const auto& [dir, key] : candidates) {
      FileState state;
      if (dir.empty() || !fs.state_of(dir, state).ok() || !trusted_place(state)) continue;
      places.push_back({dir, key, state.survives_restart || dir == real.parent_path()});
    }
    return {};
  }

  FileSystem& fs;
  const stdfs::path path;
  const RewriteEvents& events;
  std::unique_ptr<InterruptHold> held;  // declared first of the resources: released last
  std::unique_ptr<File> target;         // locked once open
  bool leased = false;                  // other programs that open the target wait
  bool marks = false;                   // the target's file system keeps marks
  FileIdentity identity;
  // Where no lease stands: the checksum of the bytes the text to be written
  // back was made from, or compared with.
  std::uint64_t read_sum = 0;
  // Two blocks, so that a run past the end of one is caught by the sanitizers.
  std::unique_ptr<char[]> memory[2] = {std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE),
                                       std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE)};
  std::span<char> input{memory[0].get(), STREAM_BUFFER_SIZE};
  std::span<char> output{memory[1].get(), STREAM_BUFFER_SIZE};
  std::vector<Place> places;  // where the new text may be kept, the best first
  stdfs::path private_dir;    // the user's private directory, if any
};

// The text an earlier run kept for the file: where its mark or its name
// says it is, and, once found whole, open.
struct SavedText {
  stdfs::path path;
  std::unique_ptr<File> file;
  // What the OS says of the last text looked at, and its checksum: the
  // text's own only once file is open.
  FileState state;
  std::uint64_t sum = 0;
  std::optional<Distrust> doubt;  // why it was not used, if it was found
  Status unreadable;              // the error, when it could not be read
};

// What an earlier run that stopped in its write-back left: the mark on the
// file, and a text named for the file in a trusted place. The file whole,
// the text goes; the file the start of the text, the write-back is
// finished; the file what the text was made from, the text goes once the
// strip pass has made it again. Anything else stops the run.
class Recovery {
 public:
  explicit Recovery(Run& run) : run_(run) {}

  // Settles what can be settled before the strip pass; before is what the
  // OS says of the target, and what it says after a finished write-back.
  Stop settle(FileState& before) {
    std::string mark;
    if (auto stop = stop_unless(run_.target->read_mark(mark, run_.marks))) return stop;
    if (auto stop = find(mark)) return stop;
    if (!text_) return std::nullopt;
    // Whole: the write-back was complete, and only the text and the mark
    // are left to go; on disk first, as the run that wrote it back may have
    // been killed before it forced it there.
    Checksum now;
    if (auto stop = stop_unless(add_file(*run_.target, run_.input, now))) return stop;
    if (names_text(text_->path, now.length(), now.value())) {
      if (auto stop = stop_unless(run_.target->sync())) return stop;
      drop();
      return std::nullopt;
    }
    if (text_->file == nullptr || before.size > text_->state.size) return std::nullopt;
    std::uint64_t same = 0;
    const Status compared = starts_text(*run_.target, *text_->file, run_.input, run_.output, same);
    if (auto stop = stop_unless(compared)) return stop;
    if (same == kNotStart) return std::nullopt;
    // Only a mark tells an emptied file, or one of zero bytes, from a new
    // one made where a file that was being written back stood.
    if (same == 0 && mark.empty()) return outcome(RewriteOutcome::saved_unsure, {}, text_->path);
    run_.read_sum = now.value();
    run_.hold();
    if (auto stop =
            run_.write_back(*text_->file, text_->state.size, text_->sum, before, text_->path)) {
      return stop;
    }
    run_.tell(Notice::resumed, utf8_of(text_->path));
    drop();
    // What is checked from here on is the file as the write-back left it.
    return stop_unless(run_.target->state(before));
  }

  // After the strip pass: the earlier run stopped before it emptied the
  // file if its text is what this run made again, and its text goes; else
  // the file has changed since, and the run stops.
  Stop after_strip(const StripOutcome& stripped) {
    if (!text_) return std::nullopt;
    if (!stripped.differs || !names_text(text_->path, stripped.length, stripped.sum)) {
      return about_text();
    }
    drop();
    return std::nullopt;
  }

 private:
  // This file's texts: the one its mark names, if the mark was made on this
  // very file (by any name); and those named for it in its places, which a
  // remount, a copy of the folder or one without its marks keep. A mark
  // made on another file came with a copy of it: its text is that file's,
  // and is never used or removed here. A copy never finished is removed.
  Stop find(const std::string& mark) {
    const stdfs::path marked = path_from_utf8(mark.substr(0, mark.find('\0')));
    std::vector<stdfs::path> paths;
    const bool marked_here = !mark.empty() && mark == mark_of(run_.identity, marked);
    if (marked_here) paths.push_back(marked);
    for (const Place& place : run_.places) {
      std::vector<std::string> names;
      const std::string prefix = std::string(kSavedPrefix) + place.key + ".";
      if (auto stop = stop_unless(run_.fs.names_in(place.dir, prefix, names))) return stop;
      for (const std::string& name : names) {
        stdfs::path path = place.dir / path_from_utf8(name);
        if (!name.ends_with(".part")) {
          paths.push_back(std::move(path));
        } else if (FileState state; run_.fs.identity_of(path, state.identity).ok()) {
          static_cast<void>(run_.fs.remove(path, state.identity));
        }
      }
    }
    if (paths.empty() && mark.empty()) return std::nullopt;
    text_.emplace();
    text_->path = paths.empty() ? marked : paths.front();
    if (paths.empty()) text_->doubt = Distrust::another_files;
    for (const stdfs::path& path : paths) {
      // One found by the mark alone must carry the same mark.
      const bool by_mark_alone =
          marked_here && path == marked && std::count(paths.begin(), paths.end(), path) == 1;
      if (Status status = open(path, by_mark_alone ? mark : std::string()); !status.ok()) {
        text_->doubt = Distrust::unreadable;
        text_->unreadable = status;
      }
      if (text_->file != nullptr) break;
    }
    return std::nullopt;
  }

  // Opens the text at path if it is there, trusted, whole and, where mark
  // is given, carrying it; records why not if it is there but not so.
  Status open(const stdfs::path& path, const std::string& mark) {
    SavedText& text = *text_;
    FileIdentity named;
    FileState dir;
    std::unique_ptr<File> file;
    if (!run_.fs.identity_of(path, named).ok() || !run_.fs.state_of(path.parent_path(), dir).ok()) {
      return {};  // not there
    }
    text.path = path;
    // The target under another name is not opened: that would break this
    // run's own lease.
    text.doubt = named == run_.identity ? Distrust::the_target
                 : !trusted_place(dir)  ? std::optional(Distrust::shared_directory)
                                        : std::nullopt;
    if (text.doubt) return {};
    if (Status status = run_.fs.open_for_reading(path, file); !status.ok() || file == nullptr) {
      return status;
    }
    if (Status status = file->state(text.state); !status.ok()) return status;
    text.doubt = distrust(text.state);
    std::string tag;
    bool supported = false;
    if (!text.doubt && !mark.empty()) {
      if (Status status = file->read_mark(tag, supported); !status.ok()) return status;
      if (tag != mark) text.doubt = Distrust::unmarked;
    }
    if (text.doubt) return {};
    Checksum sum;
    if (Status status = add_file(*file, run_.input, sum); !status.ok()) return status;
    text.sum = sum.value();
    if (!names_text(path, text.state.size, text.sum)) text.doubt = Distrust::altered;
    if (!text.doubt) text.file = std::move(file);
    return {};
  }

  // The earlier run's work is done: its text goes, if it was found whole,
  // and then the mark.
  void drop() {
    if (text_->file != nullptr && text_->file->close().ok()) {
      static_cast<void>(run_.fs.remove(text_->path, text_->state.identity));
    }
    if (run_.marks) static_cast<void>(run_.target->write_mark({}));
    text_.reset();
  }

  // The outcome when the earlier run's text cannot be used, and the file
  // neither holds it nor is what it was made from.
  RewriteResult about_text() const {
    RewriteResult result = outcome(RewriteOutcome::saved_differs, text_->unreadable, text_->path);
    if (text_->file == nullptr) {
      result.outcome = RewriteOutcome::saved_unused;
      result.distrust = text_->doubt.value_or(Distrust::missing);
    }
    result.maybe_deleted_files = !run_.marks;
    return result;
  }

  Run& run_;
  std::optional<SavedText> text_;
};

// The work file with the whole new text under a name that outlives the
// process, on stable storage, and the mark on the target that leads to it,
// made first: without the mark, a run through another name would not find
// the text. Both go when this goes out of scope, unless kept.
class LastingName {
 public:
  LastingName(Run& run, std::unique_ptr<File>& work) : run_(run), work_(work) {}
  LastingName(const LastingName&) = delete;
  LastingName& operator=(const LastingName&) = delete;
  ~LastingName() {
    if (keep) return;
    if (!path.empty()) {
      work_.reset();  // closed first: Windows removes no file that is open
      static_cast<void>(run_.fs.remove(path, named_));
    }
    if (marked_) static_cast<void>(run_.target->write_mark({}));
  }

  // Names the work file at place, after marking the target with that name,
  // or stops the run. Marking changes the target's change time, and nothing
  // else: before takes the new one.
  Stop give(const Place& place, const StripOutcome& stripped, FileState& before) {
    const stdfs::path name = saved_name(place, text_suffix(stripped.length, stripped.sum));
    if (run_.marks) {
      marked_ = true;
      FileState now;
      Status status = run_.target->write_mark(mark_of(run_.identity, name));
      if (status.ok()) status = run_.target->sync();
      if (status.ok()) status = run_.target->state(now);
      if (!status.ok()) return failed(status);
      if (now.size == before.size && now.modified == before.modified) {
        before.status_changed = now.status_changed;
      }
    }
    FileState work;
    Status status = work_->sync();
    if (status.ok()) status = work_->state(work);
    if (status.ok()) status = run_.fs.name_work_file(*work_, name);
    if (!status.ok()) return not_saved(status, name);
    path = name;
    named_ = work.identity;
    // The text carries the mark too: a mark that another program wrote on
    // some other file then leads no run to it. (Where it cannot, or it is
    // lost in a crash, a run through another name stops, and says where.)
    if (run_.marks) static_cast<void>(work_->write_mark(mark_of(run_.identity, name)));
    if (status = run_.fs.sync_directory(place.dir); !status.ok()) return not_saved(status, name);
    if (!place.survives_restart) run_.tell(Notice::kept_where_restart_empties, utf8_of(name));
    return std::nullopt;
  }

  stdfs::path path;  // once given
  bool keep = false;

 private:
  static RewriteResult not_saved(const Status& status, const stdfs::path& name) {
    RewriteResult result = outcome(RewriteOutcome::not_saved, status);
    result.error.path = utf8_of(name);
    return result;
  }

  Run& run_;
  std::unique_ptr<File>& work_;
  FileIdentity named_;
  bool marked_ = false;
};

// The strip pass into a work file at the first trusted place that takes it
// all: where one runs out of room, the next is tried. at is the place used.
Status strip(Run& run, std::unique_ptr<File>& work, StripOutcome& stripped, std::size_t& at) {
  // No trusted place at all: the private directory is not the user's.
  Status first = Error{Operation::create, utf8_of(run.private_dir), kPermissionDenied, true};
  for (at = 0; at < run.places.size(); ++at) {
    const Place& place = run.places[at];
    work.reset();
    Status status = run.fs.create_work_file(saved_name(place, ".part"), work);
    if (status.ok()) status = run.target->rewind();
    if (status.ok()) {
      stripped = {};
      status = strip_file(*run.target, *work, run.input, run.output, !run.leased, stripped);
      if (status.ok() || !status.error().work_file || !out_of_room(status.error().code)) {
        return status;
      }
    }
    if (at == 0) first = std::move(status);
  }
  return first;
}

// The steps of a rewrite, in their order.
RewriteResult rewrite(Run& run, std::unique_ptr<File>& work) {
  FileState before;
  const Status opened = run.open(before);
  if (run.target == nullptr) return outcome(RewriteOutcome::open_failed, opened);
  if (auto stop = stop_unless(opened)) return *stop;
  // A run stopped while it wrote the file back left the file marked and
  // the whole new text saved: finish its work first, or leave all alone.
  Recovery recovery(run);
  if (auto stop = recovery.settle(before)) return *stop;

  StripOutcome stripped;
  std::size_t place = 0;
  if (auto stop = stop_unless(strip(run, work, stripped, place))) return *stop;
  // More or fewer bytes than the file holds: it changed while it was read,
  // or it is no plain file on disk whatever it says (a file of /proc).
  if (stripped.bytes_read != before.size) return outcome(RewriteOutcome::changed_meanwhile);
  if (auto stop = recovery.after_strip(stripped)) return *stop;
  // A file that needs no change is left as it is, times and all.
  if (!stripped.differs) {
    run.tell(Notice::copying_back);
    return {};
  }

  run.hold();
  LastingName lasting(run, work);
  if (auto stop = lasting.give(run.places[place], stripped, before)) return *stop;
  run.read_sum = stripped.read_sum;
  // Told before the last check, not between it and the emptying: telling
  // may take any time (a terminal stopped with Ctrl-S, a full pipe), and
  // whatever another program writes meanwhile must be seen, not emptied.
  run.tell(Notice::copying_back);
  if (auto stop = run.write_back(*work, stripped.length, stripped.sum, before, lasting.path)) {
    lasting.keep = !stop->saved_as.empty();  // the report tells where the text is
    return *stop;
  }
  // Done, and on disk. The lasting name goes while the lock is still held,
  // then the mark: should the mark stay, the next run finds the file whole
  // and removes it.
  return {};
}

}  // namespace

void run_indent_removal(FileSystem& file_system, const std::string& name,
                        const RewriteEvents& events) {
  Run run(file_system, name, events);
  std::unique_ptr<File> work;
  const RewriteResult result = rewrite(run, work);
  // Every byte of the work file has been read back or saved by now, so a
  // failure to close it can cost nothing; it is closed before the outcome
  // is told. The target stays open, and so locked, until the outcome is
  // told: no other run can change the file, or finish its write-back and
  // remove the text the outcome names, before it is out.
  if (work != nullptr) static_cast<void>(work->close());
  events.report(result);
}

}  // namespace ostrel
