#include "rewrite/indent_removal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "rewrite/strip_pass.h"

namespace ostrel {

namespace {

namespace stdfs = std::filesystem;

// Read-ahead and write-behind buffers: large enough that system calls cost
// little per byte, small enough that memory use stays flat.
constexpr std::size_t STREAM_BUFFER_SIZE = std::size_t{128} * 1024;

// The write-back goes in pieces of this size, so that it stops soon after
// the OS stops keeping other programs out.
constexpr std::uint64_t WRITE_BACK_PIECE = std::uint64_t{16} << 20;

std::string hex(std::uint64_t value) {
  char text[16];
  const auto end = std::to_chars(text, text + sizeof text, value, 16).ptr;
  return {text, end};
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

// Reads a from its position to its end, and as many bytes of b; is_prefix
// tells whether they were the same bytes, and compared how many there were.
// b is then positioned just past them.
Status compare_prefix(File& a, File& b, std::span<char> a_buffer, std::span<char> b_buffer,
                      bool& is_prefix, std::uint64_t& compared) {
  is_prefix = false;
  compared = 0;
  for (;;) {
    std::size_t got = 0;
    if (Status status = read_full(a, a_buffer, got); !status.ok()) return status;
    if (got == 0) break;
    std::size_t matched = 0;
    if (Status status = read_full(b, b_buffer.first(got), matched); !status.ok()) return status;
    if (matched != got || !std::equal(a_buffer.begin(), a_buffer.begin() + static_cast<long>(got),
                                      b_buffer.begin())) {
      return {};
    }
    compared += got;
  }
  is_prefix = true;
  return {};
}

bool same_content_and_times(const FileState& a, const FileState& b) {
  return a.identity == b.identity && a.size == b.size && a.modified == b.modified &&
         a.changed == b.changed;
}

// Why a file found where an earlier run's new text would be cannot be
// trusted to be that text, if it cannot: anyone could have put it there.
std::optional<Distrust> distrust(const FileState& state, const FileIdentity& target) {
  if (state.identity == target) return Distrust::the_target;
  if (!state.regular) return Distrust::not_regular;
  if (!state.owned_by_user) return Distrust::foreign;
  if (state.writable_by_others) return Distrust::writable_by_others;
  if (state.links != 1) return Distrust::other_names;
  return std::nullopt;
}

// A fingerprint of a file's bytes from its start: where no other program
// is kept out, the file is fingerprinted as first looked at and again just
// before it is emptied, which sees a change that left its size and times
// alone (a rewrite in place within one clock tick, a write that was under
// way, a write through a mapping). Four lanes over 32-byte blocks, so that
// the compiler runs them side by side.
using Fingerprint = std::array<std::uint64_t, 5>;
// Leaves the file at its start.
Status fingerprint(File& file, std::span<char> buffer, Fingerprint& print) {
  constexpr std::uint64_t kMultiplier = 0x9e3779b97f4a7c15;
  print = {1, 2, 3, 4, 0};
  Status status = file.rewind();
  for (std::size_t got = 1; status.ok() && got > 0;) {
    status = read_full(file, buffer, got);
    const std::size_t whole = got - got % 32;
    for (std::size_t at = 0; at < got; at += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, buffer.data() + at, std::min<std::size_t>(8, got - at));
      std::uint64_t& lane = print[at < whole ? (at / 8) % 4 : 0];
      lane = std::rotl((lane ^ word) * kMultiplier, 29);
    }
    print[4] += got;
  }
  return status.ok() ? file.rewind() : status;
}

// Whether someone other than the user and the administrator could give a
// file a name in the directory, or rename one of the user's files there:
// its owner, or anyone who may write it unless it is sticky, like /tmp.
bool others_can_rename_in(const FileState& dir) {
  return !(dir.owned_by_user || dir.owned_by_system) || (dir.writable_by_others && !dir.sticky);
}

// A text found where an earlier run would have kept its new text, open:
// what was checked is what is read and compared.
struct Earlier {
  stdfs::path path;
  std::unique_ptr<File> file;
  FileState state;
};

// A directory where the new text may be kept, and what the OS says of it.
struct Place {
  stdfs::path dir;
  bool trusted = false;  // nobody else can rename files in it
  bool lasting = false;  // it outlives a restart
};

class Rewrite {
 public:
  Rewrite(FileSystem& file_system, const std::string& name, const RewriteEvents& events)
      : fs_(file_system), path_(path_from_utf8(name)), events_(events) {}

  void run() {
    const RewriteResult result = rewrite();
    // Closed before the outcome is told, so that what is told is final.
    if (earlier_.file != nullptr) static_cast<void>(earlier_.file->close());
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
    // begin unseen; where not, the bytes are read again before emptying.
    leased_ = target_->keep_openers_waiting();
    FileState before;
    if (Status status = target_->state(before); !status.ok()) return unchanged(status);
    identity_ = before.identity;
    identity_never_reused_ = before.identity_never_reused;
    find_places();

    memory_[0] = std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE);
    memory_[1] = std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_SIZE);
    input_ = {memory_[0].get(), STREAM_BUFFER_SIZE};
    output_ = {memory_[1].get(), STREAM_BUFFER_SIZE};
    if (Status status = leased_ ? Status{} : fingerprint(*target_, input_, first_print_);
        !status.ok()) {
      return unchanged(status);
    }

    // A run stopped while it wrote the file back left the whole new text
    // under a lasting name: finish its work first, or leave all alone.
    if (auto stop = find_saved_text()) return *stop;
    if (earlier_.file != nullptr) {
      if (auto stop = finish_earlier(before)) return *stop;
      if (Status status = target_->rewind(); !status.ok()) return unchanged(status);
    }

    if (Status status = create_work_file(); !status.ok()) return unchanged(status);
    StripOutcome stripped;
    if (Status status = strip_file(*target_, *work_, input_, output_, !leased_, stripped); !status.ok()) {
      return unchanged(status);
    }
    // More or fewer bytes than the file holds: it changed while it was read,
    // or it is no plain file on disk whatever it says (a file of /proc).
    if (stripped.bytes_read != before.size) return outcome(RewriteOutcome::changed);

    if (earlier_.file != nullptr) {
      // The earlier run stopped before it emptied the file: its text is
      // what this run made again, or the file has changed since. (A file
      // that needs no change and is not that text has changed since.)
      bool same = false;
      if (Status status = stripped.changed ? same_text(same) : Status{}; !status.ok()) {
        return unchanged(status);
      }
      if (!same) return about_earlier(RewriteOutcome::saved_differs);
    }

    // A file that needs no change is left as it is, times and all.
    if (!stripped.changed) {
      tell(Notice::copying_back);
      return {};
    }

    // From here until the outcome is told, a request to end the process
    // waits: it must neither leave the lasting name behind nor cut the
    // write-back short.
    hold_ = fs_.hold_interrupts();
    RewriteResult result;
    FileState work;
    if (Status status = work_->state(work); !status.ok()) return unchanged(status);
    if (!give_lasting_name(work.size, result.save_errors)) {
      result.outcome = RewriteOutcome::not_saved;
      return result;
    }
    if (auto stop = write_back(*work_, work.size, before, lasting_, true)) {
      if (stop->outcome != RewriteOutcome::failed_after_emptying &&
          stop->outcome != RewriteOutcome::others_let_in) {
        drop_lasting_name();
      }
      return *stop;
    }
    // Done, and on disk. The lasting name goes while the lock is still
    // held, so that no other run can take it for the text of a stopped one.
    // Should it stay, the next run finds it equal to the file and removes it.
    drop_lasting_name();
    return {};
  }

  // Empties the target and writes source, of length bytes, into it in its
  // place, and forces it to disk; the target must still be as it was when
  // first looked at (before). The whole text is under the lasting name
  // saved. Returns the outcome if it could not be done.
  std::optional<RewriteResult> write_back(File& source, std::uint64_t length,
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
    if (now.size != length || (leased_ && !target_->openers_still_wait())) {
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
  // An outcome that names the earlier run's text.
  RewriteResult about_earlier(RewriteOutcome kind, const Status& status = {}) const {
    RewriteResult result = outcome(kind, status, earlier_.path);
    result.maybe_deleted_files = !identity_never_reused_;
    return result;
  }

  void tell(Notice notice, const std::string& path = {}) const {
    if (events_.told) events_.told(notice, path);
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

  // Where the new text of the file may be kept: beside it, where it lasts as
  // long as the file does, any run finds it and it can be copied back
  // within one file system; else in the temporary directories. Only a
  // directory where nobody else can rename files takes it, and one that
  // outlives a restart comes before one that does not.
  void find_places() {
    stdfs::path beside = path_.parent_path();
    if (beside.empty()) beside = ".";
    std::vector<stdfs::path> dirs = {beside, fs_.private_directory()};
    for (const stdfs::path& dir : dirs) {
      if (std::any_of(places_.begin(), places_.end(),
                      [&](const Place& place) { return place.dir == dir; })) {
        continue;
      }
      FileState state;
      const bool known = fs_.state_of(dir, state).ok();
      places_.push_back({dir, known && !others_can_rename_in(state),
                         known && (state.survives_restart || dir == beside)});
    }
    std::stable_partition(places_.begin(), places_.end(),
                          [](const Place& place) { return place.lasting; });
  }

  // Sets earlier_ to a complete text an earlier run kept for this file, and
  // removes those that are not complete. Stops the run when one of them is
  // not surely this user's: the file may be incomplete, and only the user
  // can tell.
  std::optional<RewriteResult> find_saved_text() {
    const std::string prefix = saved_text_name(identity_) + ".";
    for (const Place& place : places_) {
      std::vector<std::string> names;
      static_cast<void>(fs_.names_in(place.dir, prefix, names));
      for (const std::string& name : names) {
        std::string_view rest = std::string_view(name).substr(prefix.size());
        const bool part = rest.ends_with(".part");
        if (part) rest.remove_suffix(5);
        std::uint64_t length = 0;
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), length);
        if (rest.empty() || error != std::errc{} || end != rest.data() + rest.size()) continue;
        Earlier found{place.dir / path_from_utf8(name), nullptr, {}};
        // The target under another name is not opened: that would break this
        // run's own lease.
        Status status;
        if (!fs_.identity_of(found.path, found.state.identity).ok() ||
            found.state.identity != identity_) {
          status = fs_.open_for_reading(found.path, found.file);
          if (status.ok() && found.file == nullptr) continue;
          if (status.ok()) status = found.file->state(found.state);
        }
        std::optional<Distrust> why;
        if (!status.ok()) {
          why = Distrust::unreadable;
        } else if (auto doubt = distrust(found.state, identity_)) {
          why = doubt;
        } else if (!place.trusted) {
          why = Distrust::open_directory;
        }
        if (why) {
          // A copy never finished is no text, whoever made it.
          if (part) continue;
          earlier_ = std::move(found);
          RewriteResult result = about_earlier(RewriteOutcome::saved_unused, status);
          result.distrust = *why;
          return result;
        }
        // Shorter than a complete text: a run stopped before it was whole.
        if (part || found.state.size != length) {
          static_cast<void>(found.file->close());
          if (fs_.remove(found.path, found.state.identity).ok() && !part) {
            tell(Notice::removed_incomplete, utf8_of(found.path));
          }
          continue;
        }
        if (earlier_.file == nullptr) earlier_ = std::move(found);
      }
    }
    return std::nullopt;
  }

  // With the earlier run's text found: when the target is the start of it,
  // writes it back as any write-back is written; when the target is that
  // text, its write-back was complete, and the text goes once the target
  // is surely on disk. Otherwise changes nothing.
  std::optional<RewriteResult> finish_earlier(FileState& before) {
    const std::uint64_t length = earlier_.state.size;
    // An emptied file looks like a new, empty one; where the file system
    // may give a new file the numbers of a deleted one, the saved text may
    // be the deleted file's.
    if (before.size == 0 && length > 0 && !before.identity_never_reused) {
      return about_earlier(RewriteOutcome::saved_unsure);
    }
    bool is_prefix = false;
    std::uint64_t compared = 0;
    if (Status status =
            compare_prefix(*target_, *earlier_.file, input_, output_, is_prefix, compared);
        !status.ok()) {
      return unchanged(status);
    }
    if (!is_prefix) return std::nullopt;
    if (compared < length) {
      hold_ = fs_.hold_interrupts();
      if (auto stop = write_back(*earlier_.file, length, before, earlier_.path, false)) {
        return stop;
      }
      tell(Notice::resumed, utf8_of(earlier_.path));
      // What is checked from here on is the file as the write-back left it.
      Status status = target_->state(before);
      if (status.ok() && !leased_) status = fingerprint(*target_, input_, first_print_);
      if (!status.ok()) return unchanged(status);
    } else if (Status status = target_->sync(); !status.ok()) {
      return unchanged(status);
    }
    // The write-back is complete: should the saved text fail to go now, the
    // next run finds it equal to the file and removes it.
    static_cast<void>(drop_earlier());
    earlier_ = {};
    return std::nullopt;
  }

  // Closes the earlier run's text and removes it: its work is done.
  Status drop_earlier() {
    Status status = earlier_.file->close();
    if (status.ok()) status = fs_.remove(earlier_.path, earlier_.state.identity);
    if (status.ok()) earlier_ = {};
    return status;
  }

  // Whether the work file holds exactly the earlier run's text; if so,
  // removes it.
  Status same_text(bool& same) {
    same = false;
    File& saved = *earlier_.file;
    Status status = saved.rewind();
    if (status.ok()) status = work_->rewind();
    bool is_prefix = false;
    std::uint64_t compared = 0;
    if (status.ok()) {
      status = compare_prefix(*work_, saved, input_, output_, is_prefix, compared);
    }
    if (!status.ok() || !is_prefix || compared != earlier_.state.size) return status;
    same = true;
    return drop_earlier();
  }

  // The work file goes where its lasting name will be, so that naming it
  // costs no copy: the first trusted place that works.
  Status create_work_file() {
    Status first;
    for (const Place& place : places_) {
      if (!place.trusted) continue;
      Status status = fs_.create_work_file(place.dir, work_);
      if (status.ok()) return status;
      if (first.ok()) first = std::move(status);
    }
    if (first.ok()) return Error{Operation::create, utf8_of(places_.front().dir), kPermissionDenied};
    return first;
  }

  // Gives the whole new text, of length bytes, a name that outlives the
  // process, on stable storage: the work file itself named where it is, else
  // a complete copy at the first place that takes one. On failure, says why
  // for every place.
  bool give_lasting_name(std::uint64_t length, std::vector<Error>& errors) {
    const stdfs::path name =
        path_from_utf8(saved_text_name(identity_) + "." + std::to_string(length));
    const stdfs::path place = work_->directory() / name;
    Status status = work_->sync();
    if (status.ok()) status = work_->name_as(place);
    if (status.ok()) {
      named_work_ = true;
      status = fs_.sync_directory(work_->directory());
      if (status.ok()) return lasting(place);
      drop_lasting_name();
    }
    errors.push_back(at(status, place));
    for (const Place& other : places_) {
      if (!other.trusted) continue;
      if (status = save_copy(other.dir / name); status.ok()) return lasting(other.dir / name);
      errors.push_back(at(status, other.dir / name));
    }
    return false;
  }

  bool lasting(const stdfs::path& place) {
    lasting_ = place;
    const auto kept = std::find_if(places_.begin(), places_.end(),
                                   [&](const Place& p) { return p.dir == place.parent_path(); });
    if (kept != places_.end() && !kept->lasting) {
      tell(Notice::kept_where_restart_empties, utf8_of(place));
    }
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
  Status save_copy(const stdfs::path& place) {
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
      copy_identity_ = state.identity;
      status = fs_.sync_directory(place.parent_path());
      if (status.ok()) return {};
      static_cast<void>(fs_.remove(place, state.identity));
    }
    // Closed first: Windows removes no file that is open.
    copy.reset();
    static_cast<void>(fs_.remove(partial, state.identity));
    return status;
  }

  void drop_lasting_name() {
    if (named_work_) {
      static_cast<void>(work_->unname());
    } else if (!lasting_.empty()) {
      static_cast<void>(fs_.remove(lasting_, copy_identity_));
    }
    lasting_.clear();
    named_work_ = false;
  }

  // Stops the run unless the target is still what was read: the same size
  // and times, still the file its name leads to, nobody else let in, and,
  // where others were not kept out, the same bytes.
  std::optional<RewriteResult> changed_since(const FileState& before) {
    FileState now;
    Status status = target_->state(now);
    Fingerprint print;
    if (status.ok() && !leased_) status = fingerprint(*target_, input_, print);
    if (!status.ok()) return unchanged(status);
    FileIdentity named;
    if (!same_content_and_times(before, now) || !fs_.identity_of(path_, named).ok() ||
        named != before.identity || (leased_ && !target_->openers_still_wait()) ||
        (!leased_ && print != first_print_)) {
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
  FileIdentity identity_;
  bool identity_never_reused_ = false;
  Fingerprint first_print_{};  // of the target as first looked at, where no lease stands
  Earlier earlier_;
  std::unique_ptr<char[]> memory_[2];
  std::span<char> input_;
  std::span<char> output_;
  std::vector<Place> places_;  // where the new text may be kept, the best first
  stdfs::path lasting_;        // the lasting name, once given
  bool named_work_ = false;
  FileIdentity copy_identity_;  // the lasting name's file, when it is a copy
};

}  // namespace

std::string saved_text_name(const FileIdentity& identity) {
  std::string name = "ostrel-saved-" + hex(identity.device) + '-' + hex(identity.file);
  // The birth time tells the file from a later one with the same numbers.
  if (identity.born != 0) name += '-' + hex(static_cast<std::uint64_t>(identity.born));
  return name;
}

void run_indent_removal(FileSystem& file_system, const std::string& name,
                        const RewriteEvents& events) {
  Rewrite(file_system, name, events).run();
}

}  // namespace ostrel
