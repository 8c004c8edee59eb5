// The file system on Windows: the wide API with UTF-8 names converted at
// the edge, binary I/O, every result checked, short writes retried.
#include <windows.h>
// (aclapi.h and sddl.h need windows.h first)
#include <aclapi.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "streams/file_system.h"
#include "streams/win32_identity.h"
#include "streams/win32_text.h"

namespace ostrel {

std::string os_reason(int code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0) return "error " + std::to_string(code);
  std::wstring message(text, length);
  LocalFree(text);
  message.erase(message.find_last_not_of(L"\r\n .") + 1);  // npos + 1 == 0
  return to_utf8(message);
}

const int kPermissionDenied = ERROR_ACCESS_DENIED;
// NTFS says a user's disk quota is used up with ERROR_NOT_ENOUGH_QUOTA; a
// storage quota (on a share, in the cloud) is ERROR_DISK_QUOTA_EXCEEDED,
// 1295, which MinGW's headers lack.
bool out_of_room(int code) {
  return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL ||
         code == ERROR_FILE_TOO_LARGE || code == ERROR_NOT_ENOUGH_QUOTA || code == 1295;
}

std::filesystem::path path_from_utf8(const std::string& text) { return to_wide(text); }
std::string utf8_of(const std::filesystem::path& path) { return to_utf8(path.wstring()); }

namespace {

int last_error() { return static_cast<int>(GetLastError()); }

// Frees what it owns with release when it goes.
template <auto release>
struct Release {
  void operator()(void* owned) const { release(owned); }
};
// An open handle, closed when it goes.
using Handle = std::unique_ptr<void, Release<CloseHandle>>;
// Memory from LocalAlloc, as the security calls give it, freed when it goes.
using LocalMemory = std::unique_ptr<void, Release<LocalFree>>;

// Owns handle; empty for INVALID_HANDLE_VALUE, which CreateFileW returns on
// failure.
Handle owned(HANDLE handle) { return Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle); }

Error fail_at(Operation operation, const std::filesystem::path& path) {
  return Error{operation, utf8_of(path), last_error()};
}

bool set_delete_on_close(HANDLE handle, bool remove) {
  FILE_DISPOSITION_INFO disposition{remove};  // its one member, DeleteFile
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

bool is_sid(PSID sid, const std::vector<char>& known) {
  return !known.empty() && EqualSid(sid, const_cast<char*>(known.data()));
}

// The SIDs of the user the process runs as, and of the default owner it
// gives new files (for an elevated administrator, the Administrators group).
struct User {
  std::vector<char> user;
  std::vector<char> owner;
  // Whether sid is either.
  bool is(PSID sid) const { return is_sid(sid, user) || is_sid(sid, owner); }
};

const User& this_user() {
  static const User user = [] {
    User found;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return found;
    const Handle closes(token);
    for (const auto& [kind, into] :
         {std::pair{TokenUser, &found.user}, std::pair{TokenOwner, &found.owner}}) {
      DWORD size = 0;
      GetTokenInformation(token, kind, nullptr, 0, &size);
      std::vector<char> buffer(size);
      if (size == 0 || !GetTokenInformation(token, kind, buffer.data(), size, &size)) continue;
      PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                   : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
      into->assign(static_cast<char*>(sid), static_cast<char*>(sid) + GetLengthSid(sid));
    }
    return found;
  }();
  return user;
}

// Whether the file is owned by this user or by the system, and whether its
// access list lets anyone but this user and the system write it (or, for a
// directory, add or remove names in it).
void read_ownership(HANDLE handle, FileState& state) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return;  // unknown: neither owned nor safe
  }
  const LocalMemory frees(descriptor);
  const User& user = this_user();
  const auto is_system = [](PSID sid) {
    return IsWellKnownSid(sid, WinLocalSystemSid) ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
  };
  state.owned_by_user = owner != nullptr && user.is(owner);
  state.owned_by_system = owner != nullptr && is_system(owner);
  constexpr ACCESS_MASK writes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                 WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  state.writable_by_others = dacl == nullptr;  // no list at all lets everyone in
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    // Every kind of entry starts with the header, which says its kind.
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && (allowed->Mask & writes) != 0 &&
        !user.is(sid) && !is_system(sid) && !IsWellKnownSid(sid, WinCreatorOwnerSid)) {
      state.writable_by_others = true;
    }
  }
}

// A security descriptor that gives this user alone access, for the files the
// program creates; empty (the access the directory passes on) when there is
// no telling who the user is.
LocalMemory private_access() {
  const std::vector<char>& user = this_user().user;
  wchar_t* sid = nullptr;
  if (user.empty() || !ConvertSidToStringSidW(const_cast<char*>(user.data()), &sid)) return nullptr;
  const LocalMemory frees(sid);
  const std::wstring text = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const bool made = ConvertStringSecurityDescriptorToSecurityDescriptorW(
      text.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
  return LocalMemory(made ? descriptor : nullptr);
}

// Opens path as disposition says, whoever else has it open unless share
// says otherwise.
Handle open_file(const std::filesystem::path& path, DWORD access, DWORD disposition, DWORD flags,
                 DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) {
  return owned(CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr));
}

// Ctrl-C, Ctrl-Break and the closing of the console, held back while the
// file is rewritten. The system delivers them on a thread of their own;
// whichever way one arrives, the process ends as a console program ends on
// Ctrl-C, with the exit code STATUS_CONTROL_C_EXIT. Outside a hold, an
// interrupt ends the process at once: at the next read or write of a file or
// the next hold, or soon after if neither comes.
//
// holds_lock guards holds and interrupted, so that an interrupt either comes
// before a hold begins (and the process ends before anything is emptied) or
// is seen by the release that ends the hold.
SRWLOCK holds_lock = SRWLOCK_INIT;
int holds = 0;
bool interrupted = false;

// How long the handler waits for the main thread to end the process at a
// safe point before it does so itself.
constexpr DWORD kGrace = 500;

// Ends the process at once, as the system's handler does on Ctrl-C but
// without running any library's shutdown code. Nothing is lost: output is
// written unbuffered, and the system deletes the work file when it closes
// the process's handles.
[[noreturn]] void end_process() {
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  ExitProcess(STATUS_CONTROL_C_EXIT);  // only if the above could not
}

// Adds change to the number of holds (never below none). Where no hold is
// left before or after the change and an interrupt waits, the process ends:
// a hold about to begin, the outermost release and a safe point outside any
// hold all end it here.
void count_holds(int change) {
  AcquireSRWLockExclusive(&holds_lock);
  if (holds == 0 && interrupted) end_process();
  holds = std::max(holds + change, 0);
  if (holds == 0 && interrupted) end_process();
  ReleaseSRWLockExclusive(&holds_lock);
}

// Ends the process now if an interrupt arrived outside a hold. Called at
// points where ending is safe and comes soon after the interrupt.
void end_if_interrupted() { count_holds(0); }

// Runs on the thread the system starts for each event. It never returns:
// that would hand the event to the system's default handler, which under
// Wine ends the process with exit code 0.
//
// The main thread ends the process: at the release of a hold, or, outside
// one, at its next file read or write or hold. Wine, asked to end the
// process from this thread while the main one is busy inside the system,
// can hang: the main thread is stopped holding a lock that ending needs.
// Only if the main thread comes to none of those soon (it may wait on a slow
// device) does this thread end the process itself.
BOOL WINAPI on_console_event(DWORD /*event*/) {
  AcquireSRWLockExclusive(&holds_lock);
  interrupted = true;
  const bool held = holds > 0;
  ReleaseSRWLockExclusive(&holds_lock);
  while (held) Sleep(INFINITE);
  Sleep(kGrace);
  end_process();
}

// Holds interrupts for as long as it lives: meanwhile an interrupt waits.
// Holds nest; when the outermost one ends and an interrupt arrived
// meanwhile, the process ends there and then.
class InterruptsHeld final : public InterruptHold {
 public:
  InterruptsHeld() { count_holds(1); }
  ~InterruptsHeld() override { count_holds(-1); }
  bool pending() const override {
    AcquireSRWLockShared(&holds_lock);
    const bool arrived = interrupted;
    ReleaseSRWLockShared(&holds_lock);
    return arrived;
  }
};

class Win32File final : public File {
 public:
  // path names the file in errors: its name, or a work file's directory.
  Win32File(Handle handle, std::string path, bool work = false)
      : handle_(std::move(handle)), path_(std::move(path)), work_(work) {}
  ~Win32File() override { unlock(); }

  // An interrupt that came while nothing was held ends the process at the
  // next read or write (see the holding of interrupts above).
  Status read(std::span<char> into, std::size_t& got) override {
    end_if_interrupted();
    DWORD n = 0;  // ReadFile leaves it 0 when it fails
    const auto size = static_cast<DWORD>(std::min<std::size_t>(into.size(), 1 << 30));
    const bool done = ReadFile(handle_.get(), into.data(), size, &n, nullptr);
    got = n;
    // The end of the file, where a read says so as an error, is none.
    return check(done || GetLastError() == ERROR_HANDLE_EOF, Operation::read);
  }

  Status write(std::span<const char> bytes) override {
    end_if_interrupted();
    for (DWORD n = 0; !bytes.empty(); bytes = bytes.subspan(n)) {
      const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 30));
      if (!WriteFile(handle_.get(), bytes.data(), size, &n, nullptr)) return fail(Operation::write);
      if (n == 0) return error_in(*this, Operation::write, ERROR_WRITE_FAULT);
    }
    return {};
  }

  Status rewind() override { return check(to_start(), Operation::rewind); }

  Status sync() override { return check(FlushFileBuffers(handle_.get()), Operation::sync); }

  Status truncate() override {
    return check(to_start() && SetEndOfFile(handle_.get()), Operation::truncate);
  }

  Status state(FileState& state) override {
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandle(handle_.get(), &info) ||
        !GetFileInformationByHandleEx(handle_.get(), FileBasicInfo, &basic, sizeof basic)) {
      return fail(Operation::inspect);
    }
    state = FileState{};
    state.identity = identity_from(info);
    state.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    state.modified = basic.LastWriteTime.QuadPart;
    state.status_changed = basic.ChangeTime.QuadPart;
    state.regular =
        GetFileType(handle_.get()) == FILE_TYPE_DISK &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    state.links = info.nNumberOfLinks;
    read_ownership(handle_.get(), state);
    return {};
  }

  Status lock(bool wait, bool& locked) override {
    OVERLAPPED whole{};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    locked = LockFileEx(handle_.get(), flags, 0, MAXDWORD, MAXDWORD, &whole) != 0;
    locked_ = locked_ || locked;
    // Held by another: no lock, and no error unless told to wait for it.
    const DWORD code = GetLastError();
    return check(locked || (!wait && (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING)),
                 Operation::lock);
  }

  Status read_mark(std::string& mark, bool& supported) override {
    mark.clear();
    Handle stream;
    const Status opened = open_mark(GENERIC_READ, OPEN_EXISTING, supported, stream);
    if (!stream) return opened;
    // All of it: a mark holds a path, which may be long.
    char text[4096];
    for (DWORD n = 1; n > 0;) {
      if (!ReadFile(stream.get(), text, sizeof text, &n, nullptr)) return fail(Operation::mark);
      mark.append(text, n);
    }
    return {};
  }

  // A mark written is flushed through its stream's own handle; a removal
  // reaches the disk with the file's next flush, which takes its record.
  Status write_mark(const std::string& mark) override {
    bool supported = false;
    Handle stream;
    Status status = open_mark(mark.empty() ? DELETE : GENERIC_WRITE,
                              mark.empty() ? OPEN_EXISTING : CREATE_ALWAYS, supported, stream);
    if (status.ok() && !supported && !mark.empty()) {
      return error_in(*this, Operation::mark, ERROR_NOT_SUPPORTED);
    }
    if (!stream) return status;
    if (mark.empty()) return check(set_delete_on_close(stream.get(), true), Operation::mark);
    Win32File file(std::move(stream), path_);
    status = file.write(mark);
    if (status.ok()) status = file.sync();
    return status.ok() ? status : error_in(*this, Operation::mark, status.error().code);
  }

  // Its links resolved; in the \\?\ form where a plain path would be too
  // long, as it is the one messages show.
  Status real_path(std::filesystem::path& path) override {
    std::wstring name(32768, L'\0');  // the longest path Windows knows
    const DWORD length =
        GetFinalPathNameByHandleW(handle_.get(), name.data(), static_cast<DWORD>(name.size()), 0);
    if (length == 0 || length >= name.size()) {
      // Wine finds no path longer than MAX_PATH (ERROR_MORE_DATA, whatever
      // the room): the name the file was opened by, made whole, then.
      std::error_code error;
      path = path_from_utf8(path_);
      if (!path.wstring().starts_with(L"\\\\")) path = std::filesystem::absolute(path, error);
      return check(!error, Operation::inspect);
    }
    name.resize(length);
    const std::wstring_view unc = L"\\\\?\\UNC\\";
    if (name.size() < MAX_PATH && name.starts_with(unc)) {
      name.replace(0, unc.size(), L"\\\\");
    } else if (name.size() < MAX_PATH + 4 && name.starts_with(L"\\\\?\\")) {
      name.erase(0, 4);
    }
    path = name;
    return {};
  }

  Status close() override {
    unlock();
    return check(CloseHandle(handle_.release()), Operation::close);
  }

  std::intptr_t native_handle() const override {
    return reinterpret_cast<std::intptr_t>(handle_.get());
  }
  std::string path() const override { return path_; }
  bool is_work_file() const override { return work_; }

 private:
  Error fail(Operation operation) const { return error_in(*this, operation, last_error()); }
  // Success when done; else the error of operation, with the OS's code.
  Status check(bool done, Operation operation) const { return done ? Status{} : fail(operation); }
  bool to_start() { return SetFilePointerEx(handle_.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN); }

  // The lock goes with the handle, released first: the system may take its
  // time to release the locks of a closed handle.
  void unlock() {
    OVERLAPPED whole{};
    if (std::exchange(locked_, false)) UnlockFileEx(handle_.get(), 0, MAXDWORD, MAXDWORD, &whole);
  }

  Handle handle_;
  std::string path_;
  bool work_;
  bool locked_ = false;

  // Opens the named stream of the file that holds its mark; none when it
  // fails, or when opening an existing one and there is none. supported is
  // false where the volume keeps no named streams. Wine's volumes say so,
  // and there a name with a colon is a file of its own beside this one: such
  // a name is never opened, and where one opens all the same, it is closed
  // (and removed when made here) unless it is a stream of this very file.
  Status open_mark(DWORD access, DWORD disposition, bool& supported, Handle& stream) {
    DWORD flags = 0;
    std::filesystem::path name;
    if (!GetVolumeInformationByHandleW(handle_.get(), nullptr, 0, nullptr, nullptr, &flags, nullptr,
                                       0)) {
      return fail(Operation::mark);
    }
    supported = (flags & FILE_NAMED_STREAMS) != 0;
    if (!supported) return {};
    if (Status status = real_path(name); !status.ok()) return status;
    name += L":ostrel.saved";
    stream = open_file(name, access, disposition, FILE_ATTRIBUTE_NORMAL);
    if (!stream) {
      if (disposition == OPEN_EXISTING && GetLastError() == ERROR_FILE_NOT_FOUND) return {};
      return fail(Operation::mark);
    }
    const bool made = GetLastError() != ERROR_ALREADY_EXISTS && disposition != OPEN_EXISTING;
    const std::optional<FileIdentity> file = identity_by_handle(handle_.get());
    if (!file || file != identity_by_handle(stream.get())) {
      supported = false;
      stream.reset();
      if (made) DeleteFileW(name.c_str());
    }
    return {};
  }
};

class Win32FileSystem final : public FileSystem {
 public:
  // Windows has no lease to wait for: the lock keeps the file to one run.
  Status open_for_update(const std::filesystem::path& path, std::unique_ptr<File>& file,
                         bool /*wait*/) override {
    // Others may read and write meanwhile, as the lock on the whole file
    // lets them, but neither rename nor delete it: its name stays its own.
    Handle handle = open_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!handle) return fail_at(Operation::open, path);
    // A device such as NUL or CON opens too; only a file on disk will do.
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Error{Operation::open, utf8_of(path), ERROR_INVALID_FUNCTION};
    }
    // Windows refuses to open a read-only file for writing; say so here too,
    // for systems that let an administrator through.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      return Error{Operation::open, utf8_of(path), ERROR_ACCESS_DENIED};
    }
    file = std::make_unique<Win32File>(std::move(handle), utf8_of(path));
    return {};
  }

  Status open_for_reading(const std::filesystem::path& path, std::unique_ptr<File>& file) override {
    Handle handle = open_file(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!handle) {
      return GetLastError() == ERROR_FILE_NOT_FOUND ? Status{} : fail_at(Operation::open, path);
    }
    file = std::make_unique<Win32File>(std::move(handle), utf8_of(path));
    return {};
  }

  Status state_of(const std::filesystem::path& path, FileState& state) override {
    Handle handle = open_file(path, FILE_READ_ATTRIBUTES | READ_CONTROL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS);
    if (!handle) return fail_at(Operation::inspect, path);
    return Win32File(std::move(handle), utf8_of(path)).state(state);
  }

  Status create_work_file(const std::filesystem::path& part, std::unique_ptr<File>& file) override {
    // An interrupt between creating the file and marking it for deletion
    // would leave it behind; it waits until then.
    const InterruptsHeld held;
    const LocalMemory access = private_access();
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), access.get(), FALSE};
    const std::string dir = utf8_of(part.parent_path());
    // Not shared: nobody else can open it while it exists.
    Handle handle = owned(CreateFileW(part.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                      &attributes, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!handle) return Error{Operation::create, dir, last_error(), true};
    // Deleted when its handle closes, also when the process dies; unlike
    // FILE_FLAG_DELETE_ON_CLOSE this can be undone to keep the file.
    if (!set_delete_on_close(handle.get(), true)) {
      const Error error{Operation::create, dir, last_error(), true};
      handle.reset();
      DeleteFileW(part.c_str());
      return error;
    }
    file = std::make_unique<Win32File>(std::move(handle), dir, true);
    return {};
  }

  // Renamed through its own handle, and no longer deleted when closed.
  Status name_work_file(File& work, const std::filesystem::path& path) override {
    const auto handle = reinterpret_cast<HANDLE>(work.native_handle());
    const std::wstring name = path.wstring();
    // Zeroed: ReplaceIfExists FALSE, so that anything at path makes it
    // fail, and no RootDirectory, as path is whole.
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), rename->FileName);
    if (!SetFileInformationByHandle(handle, FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size())) ||
        !set_delete_on_close(handle, false)) {
      return fail_at(Operation::name, path);
    }
    return {};
  }

  Status remove(const std::filesystem::path& path, const FileIdentity& identity) override {
    // Opened (never through a link) and marked for deletion by the same
    // handle, so that what is removed is what was compared.
    const Handle handle = open_file(path, DELETE | FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
    const auto found = handle ? identity_by_handle(handle.get()) : std::nullopt;
    if (!found || (found == identity && !set_delete_on_close(handle.get(), true))) {
      return fail_at(Operation::remove, path);
    }
    return {};
  }

  // NTFS keeps its names in its journal as they change; a directory cannot
  // be flushed by a user who may not write it, and need not be.
  Status sync_directory(const std::filesystem::path& /*dir*/) override { return {}; }

  // Listed through the wide API: MinGW's std::filesystem::directory_iterator
  // lists the current directory instead of one whose path is 260 characters
  // or more. The prefix is compared here, not matched by FindFirstFileExW,
  // which would also match the 8.3 short names.
  Status names_in(const std::filesystem::path& dir, const std::string& prefix,
                  std::vector<std::string>& names) override {
    names.clear();
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileExW((dir / L"*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
      return GetLastError() == ERROR_FILE_NOT_FOUND ? Status{} : fail_at(Operation::list, dir);
    }
    const std::unique_ptr<void, Release<FindClose>> closes(search);
    do {
      std::string name = to_utf8(found.cFileName);
      if (name.starts_with(prefix) && name != "." && name != "..") names.push_back(std::move(name));
    } while (FindNextFileW(search, &found));
    return GetLastError() == ERROR_NO_MORE_FILES ? Status{} : fail_at(Operation::list, dir);
  }

  // The Temp folder of the user's local application data, which TMP and
  // TEMP point to by default, found whatever they say now.
  std::filesystem::path private_directory() override {
    wchar_t* local = nullptr;
    const HRESULT found = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local);
    const std::unique_ptr<void, Release<CoTaskMemFree>> frees(local);
    if (found != S_OK) return {};
    const std::filesystem::path dir = std::filesystem::path(local) / L"Temp";
    CreateDirectoryW(dir.c_str(), nullptr);
    // A directory and no link; INVALID_FILE_ATTRIBUTES has every bit set,
    // the link's too.
    const DWORD kind =
        GetFileAttributesW(dir.c_str()) & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    return kind == FILE_ATTRIBUTE_DIRECTORY ? dir : std::filesystem::path();
  }

  std::unique_ptr<InterruptHold> hold_interrupts() override {
    return std::make_unique<InterruptsHeld>();
  }
};

}  // namespace

FileSystem& os_file_system() {
  static Win32FileSystem file_system;
  return file_system;
}

void prepare_process() {
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = GetStdHandle(which);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) continue;
    // Left open for as long as the process lives.
    Handle null = open_file(L"NUL", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (null) SetStdHandle(which, null.release());
  }
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

}  // namespace ostrel
