/* The disk of recorded_cut_test.sh: serves one image file through FUSE, as
 * the file "disk" of MOUNTPOINT, and appends every write that reaches it and
 * every fsync of it to LOG, in the order it serves them (one thread):
 *   'W', offset (8 bytes), length (4 bytes), the bytes written;
 *   'F', for an fsync or fdatasync: a loop device on "disk" turns a flush of
 *        its file system into one, so what was written before is on disk.
 * Writes are not cached (no write-back cache): each one reaches this program
 * before the write returns.
 *
 * Usage: record_writes IMAGE LOG MOUNTPOINT (stays in the foreground until
 * MOUNTPOINT is unmounted). */
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

static int image = -1;
static int log_fd = -1;

static int log_all(const struct iovec* parts, int count) {
  ssize_t want = 0;
  for (int i = 0; i < count; i++) want += (ssize_t)parts[i].iov_len;
  /* A log cut short would make every state replayed from it wrong. */
  if (writev(log_fd, parts, count) != want) {
    perror("record_writes: the log");
    _exit(2);
  }
  return 0;
}

static void* init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
  cfg->direct_io = 0;
  return NULL;
}

static int getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  (void)fi;
  memset(st, 0, sizeof *st);
  if (strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (strcmp(path, "/disk") != 0) return -ENOENT;
  struct stat real;
  if (fstat(image, &real) != 0) return -errno;
  st->st_mode = S_IFREG | 0600;
  st->st_nlink = 1;
  st->st_size = real.st_size;
  st->st_blocks = real.st_blocks;
  st->st_blksize = 4096;
  return 0;
}

static int readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
                   struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
  (void)offset, (void)fi, (void)flags;
  if (strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", NULL, 0, 0);
  fill(buf, "..", NULL, 0, 0);
  fill(buf, "disk", NULL, 0, 0);
  return 0;
}

static int open_disk(const char* path, struct fuse_file_info* fi) {
  if (strcmp(path, "/disk") != 0) return -ENOENT;
  fi->direct_io = 0;
  return 0;
}

static int read_disk(const char* path, char* buf, size_t size, off_t offset,
                     struct fuse_file_info* fi) {
  (void)path, (void)fi;
  ssize_t n = pread(image, buf, size, offset);
  return n < 0 ? -errno : (int)n;
}

static int write_disk(const char* path, const char* buf, size_t size, off_t offset,
                      struct fuse_file_info* fi) {
  (void)path, (void)fi;
  ssize_t n = pwrite(image, buf, size, offset);
  if (n < 0) return -errno;
  uint64_t at = (uint64_t)offset;
  uint32_t length = (uint32_t)n;
  struct iovec parts[] = {{"W", 1}, {&at, 8}, {&length, 4}, {(void*)buf, (size_t)n}};
  log_all(parts, 4);
  return (int)n;
}

static int fsync_disk(const char* path, int datasync, struct fuse_file_info* fi) {
  (void)path, (void)datasync, (void)fi;
  struct iovec parts[] = {{"F", 1}};
  return log_all(parts, 1);
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: record_writes IMAGE LOG MOUNTPOINT\n");
    return 2;
  }
  image = open(argv[1], O_RDWR);
  log_fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (image < 0 || log_fd < 0) {
    perror("record_writes");
    return 2;
  }
  static const struct fuse_operations ops = {
      .init = init,
      .getattr = getattr,
      .readdir = readdir,
      .open = open_disk,
      .read = read_disk,
      .write = write_disk,
      .fsync = fsync_disk,
  };
  /* -s: one thread, so the log is in the order the writes were served. */
  char* args[] = {argv[0], "-f", "-s", argv[3], NULL};
  return fuse_main(4, args, &ops, NULL);
}
