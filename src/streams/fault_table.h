// Faults to inject into chosen calls of a file system, and actions of other
// programs to take at chosen moments, for tests.
#pragma once

#include <cerrno>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace ostrel {

enum class Call {
  open_for_update,
  open_for_reading,
  identity_of,
  state_of,
  create_work_file,
  name_work_file,
  remove,
  read,
  write,
  rewind,
  truncate,
  state,
  lock,
  close,
  copy,  // a whole copy from file to file, as a wrapper sees it
  sync,  // a file forced to stable storage
  sync_directory,
  mark,             // a mark read or written
  names_in,         // a directory listed
  hold_interrupts,  // logged, never failed
};

struct Fault {
  Call call{};
  int nth = 1;  // fail the nth call of that kind, counting from 1
  int code = 0;
  std::size_t lands = 0;  // for a write: how many bytes land before it fails
};

// Something another program does just before the nth call of a kind.
struct Meddle {
  Call call{};
  int nth = 1;  // 0: before every call of that kind
  std::function<void()> act;
};

class FaultTable {
 public:
  // Counts the call, lets due meddles act, and returns the injected error
  // if one is due.
  std::optional<int> fail_now(Call call) {
    log.push_back(call);
    const int count = ++calls[call];
    for (const Meddle& meddle : meddles) {
      if (meddle.call == call && (meddle.nth == count || meddle.nth == 0)) meddle.act();
    }
    // Once the machine has stopped, no call has any effect.
    if (stop_after && log.size() > *stop_after) {
      lands = 0;
      return EIO;
    }
    for (const Fault& fault : faults) {
      if (fault.call == call && fault.nth == count) {
        lands = fault.lands;
        return fault.code;
      }
    }
    return std::nullopt;
  }

  std::vector<Fault> faults;
  std::optional<std::size_t> stop_after;  // every call after this many fails
  std::vector<Meddle> meddles;
  std::map<Call, int> calls;  // how many calls of each kind were made
  std::vector<Call> log;      // every call, in order
  std::size_t lands = 0;      // how many bytes of a failing write land
};

}  // namespace ostrel
