// What statx says of a file, in the terms of the OS layer, and the writing
// of bytes to a descriptor; for the Linux sources only.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <span>

#include "streams/file_system.h"

namespace ostrel {

// open(2) for the work file, which tests replace to fail it beneath this
// layer.
extern int (*open_call)(const char* path, int flags, mode_t mode);

// Writes all of bytes to fd, retrying short and interrupted writes. False,
// with errno set, on failure.
bool write_all(int fd, std::span<const char> bytes);

inline std::int64_t nanoseconds(const struct statx_timestamp& time) {
  return std::int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
}

// What the OS says of the file at path (relative to the directory dir, or
// the open file dir itself when path is empty), its birth time included
// where the file system keeps one. False, with errno set, on failure.
inline bool inspect(int dir, const char* path, int flags, FileState& state) {
  struct statx info {};
  if (*path == '\0') flags |= AT_EMPTY_PATH;
  if (::statx(dir, path, flags, STATX_BASIC_STATS | STATX_BTIME, &info) < 0) return false;
  state.identity = {::makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino,
                    (info.stx_mask & STATX_BTIME) != 0 ? nanoseconds(info.stx_btime) : 0};
  state.size = info.stx_size;
  state.modified = nanoseconds(info.stx_mtime);
  state.status_changed = nanoseconds(info.stx_ctime);
  state.regular = S_ISREG(info.stx_mode);
  state.owned_by_user = info.stx_uid == ::geteuid();
  state.owned_by_system = info.stx_uid == 0;
  // One group per user, the usual way, is not taken for others; but with an
  // access list the group bits are its mask, which may let anyone in.
  const char* const acl = "system.posix_acl_access";
  const bool listed =
      (*path == '\0'                        ? ::fgetxattr(dir, acl, nullptr, 0)
       : (flags & AT_SYMLINK_NOFOLLOW) != 0 ? ::lgetxattr(path, acl, nullptr, 0)
                                            : ::getxattr(path, acl, nullptr, 0)) >= 0;
  state.writable_by_others =
      (info.stx_mode & S_IWOTH) != 0 ||
      ((info.stx_mode & S_IWGRP) != 0 && (info.stx_gid != ::getegid() || listed));
  state.links = info.stx_nlink;
  return true;
}

}  // namespace ostrel
