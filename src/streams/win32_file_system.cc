// The file system on Windows: the wide API with UTF-8 names converted at
// the edge, binary I/O, every result checked, short writes retried.
#include <windows.h>

#include <algorithm>
#include <random>

#include "streams/file_system.h"
#include "streams/win32_interrupts.h"
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
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ' || message.back() == L'.')) {
    message.pop_back();
  }
  return to_utf8(message);
}

namespace {

int last_error() { return static_cast<int>(GetLastError()); }

std::wstring random_suffix() {
  static constexpr wchar_t letters[] =
      L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  static std::mt19937_64 random(static_cast<std::uint64_t>(now.QuadPart) ^
                                (std::uint64_t{GetCurrentProcessId()} << 32));
  std::uniform_int_distribution<std::size_t> pick(0, std::size(letters) - 2);
  std::wstring suffix(6, L' ');
  for (wchar_t& c : suffix) c = letters[pick(random)];
  return suffix;
}

std::size_t last_separator(const std::string& name) { return name.find_last_of("\\/"); }

std::string directory_of(const std::string& name) {
  const std::size_t at = last_separator(name);
  return at == std::string::npos ? "." : name.substr(0, at == 0 ? 1 : at);
}

std::string base_of(const std::string& name) {
  const std::size_t at = last_separator(name);
  return at == std::string::npos ? name : name.substr(at + 1);
}

bool set_delete_on_close(HANDLE handle, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

class Win32File final : public File {
 public:
  Win32File(HANDLE handle, std::string path, bool is_work_file, std::wstring name = {})
      : handle_(handle),
        path_(std::move(path)),
        is_work_file_(is_work_file),
        name_(std::move(name)) {}
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;
  ~Win32File() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  Status read(std::span<char> into, std::size_t& got) override {
    end_if_interrupted();
    got = 0;
    DWORD n = 0;
    const auto size = static_cast<DWORD>(std::min<std::size_t>(into.size(), 1 << 30));
    if (!ReadFile(handle_, into.data(), size, &n, nullptr)) {
      if (GetLastError() == ERROR_HANDLE_EOF) return {};
      return fail(Operation::read);
    }
    got = n;
    return {};
  }

  Status write(std::span<const char> bytes) override {
    end_if_interrupted();
    while (!bytes.empty()) {
      DWORD n = 0;
      const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 30));
      if (!WriteFile(handle_, bytes.data(), size, &n, nullptr)) return fail(Operation::write);
      if (n == 0) return Error{Operation::write, path_, is_work_file_, ERROR_WRITE_FAULT};
      bytes = bytes.subspan(n);
    }
    return {};
  }

  Status rewind() override {
    if (!SetFilePointerEx(handle_, LARGE_INTEGER{}, nullptr, FILE_BEGIN)) {
      return fail(Operation::rewind);
    }
    return {};
  }

  Status close() override {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    if (!CloseHandle(handle)) return fail(Operation::close);
    return {};
  }

  HANDLE handle() const { return handle_; }
  const std::string& path() const { return path_; }
  const std::wstring& name() const { return name_; }

 private:
  Error fail(Operation operation) const {
    return Error{operation, path_, is_work_file_, last_error()};
  }

  HANDLE handle_;
  std::string path_;  // the file's name, or a work file's directory
  bool is_work_file_;
  std::wstring name_;  // a work file's full name
};

class Win32FileSystem final : public FileSystem {
 public:
  Win32FileSystem() { install_interrupt_handler(); }

  Status open_for_update(const std::string& name, std::unique_ptr<File>& file) override {
    // Shared for reading and writing, as a C library opens with "r+".
    HANDLE handle = CreateFileW(to_wide(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Error{Operation::open, name, false, last_error()};
    auto opened = std::make_unique<Win32File>(handle, name, false);
    // A device such as NUL or CON opens too; only a file on disk will do.
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Error{Operation::open, name, false, ERROR_INVALID_FUNCTION};
    }
    // Windows refuses to open a read-only file for writing; say so here too,
    // for systems that let an administrator through.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      return Error{Operation::open, name, false, ERROR_ACCESS_DENIED};
    }
    file = std::move(opened);
    return {};
  }

  Status open_truncated(const std::string& name, std::unique_ptr<File>& file) override {
    // Opened, then emptied: creating anew would reset the file's attributes.
    HANDLE handle =
        CreateFileW(to_wide(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Error{Operation::reopen, name, false, last_error()};
    auto opened = std::make_unique<Win32File>(handle, name, false);
    if (!SetEndOfFile(handle)) return Error{Operation::reopen, name, false, last_error()};
    file = std::move(opened);
    return {};
  }

  Status create_work_file(std::unique_ptr<File>& file) override {
    // An interrupt between creating the file and marking it for deletion
    // would leave it behind; it waits until then.
    const InterruptsHeld held;
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) {
      return Error{Operation::create_work_file, "%TEMP%", true, last_error()};
    }
    const std::wstring dir(buffer, length);  // ends with a backslash
    const std::string dir_name = to_utf8(dir.substr(0, dir.size() - 1));
    for (int attempt = 0;; ++attempt) {
      const std::wstring name = dir + L"ostrel-" + random_suffix() + L".tmp";
      // Not shared: nobody else can open it while it exists.
      HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_EXISTS && attempt < 100) continue;
        return Error{Operation::create_work_file, dir_name, true, last_error()};
      }
      // Deleted when its handle closes, also when the process dies; unlike
      // FILE_FLAG_DELETE_ON_CLOSE this can be undone to keep the file.
      if (!set_delete_on_close(handle, true)) {
        const int code = last_error();
        CloseHandle(handle);
        DeleteFileW(name.c_str());
        return Error{Operation::create_work_file, dir_name, true, code};
      }
      file = std::make_unique<Win32File>(handle, dir_name, true, name);
      return {};
    }
  }

  Status save_work_file(File& work, const std::string& target_name,
                        std::string& saved_as) override {
    auto& file = dynamic_cast<Win32File&>(work);
    const std::wstring stem = to_wide(base_of(target_name)) + L".ostrel-saved-";
    // The work file itself, kept and renamed: nothing to copy, no space.
    if (set_delete_on_close(file.handle(), false)) {
      // No longer marked for deletion, it stays whatever closing reports.
      static_cast<void>(file.close());
      const std::wstring& name = file.name();
      const std::wstring dir = name.substr(0, name.find_last_of(L'\\') + 1);
      for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring saved = dir + stem + random_suffix();
        if (MoveFileExW(name.c_str(), saved.c_str(), 0)) {
          saved_as = to_utf8(saved);
          return {};
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) break;
      }
      saved_as = to_utf8(name);  // kept under its first name
      return {};
    }
    // Otherwise a copy: beside the work file, or else beside the target.
    Status status;
    for (const std::string& dir : {file.path(), directory_of(target_name)}) {
      status = save_copy(file, to_wide(dir) + L"\\" + stem, saved_as);
      if (status.ok()) break;
    }
    return status;
  }

  // Holding twice is holding once.
  void hold_interrupts() override {
    if (!held_) ostrel::hold_interrupts();
    held_ = true;
  }

  void release_interrupts() override {
    if (held_) {
      held_ = false;
      ostrel::release_interrupts();
    }
    // One that came outside the hold ends the run here at the latest.
    end_if_interrupted();
  }

 private:
  static Status save_copy(Win32File& work, const std::wstring& stem, std::string& saved_as) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::wstring name = stem + random_suffix();
      HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_EXISTS) continue;
        break;
      }
      Win32File copy(handle, to_utf8(name), false);
      std::vector<char> buffer(std::size_t{64} * 1024);
      Status status = work.rewind();
      if (status.ok()) status = work.copy_to(copy, buffer);
      if (status.ok()) status = copy.close();
      if (!status.ok()) {
        DeleteFileW(name.c_str());
        return Error{Operation::save, to_utf8(stem.substr(0, stem.find_last_of(L'\\'))), true,
                     status.error().code};
      }
      saved_as = to_utf8(name);
      return {};
    }
    return Error{Operation::save, to_utf8(stem.substr(0, stem.find_last_of(L'\\'))), true,
                 last_error()};
  }

  bool held_ = false;
};

}  // namespace

FileSystem& os_file_system() {
  static Win32FileSystem file_system;
  return file_system;
}

}  // namespace ostrel
