/* Fault injection for whole-command tests, loaded into the program with
 * LD_PRELOAD. Every call not named below goes to the C library unchanged.
 *
 * - KOLVEX_FAULT_FSYNC_DIRECTORY: fsync(2) of that directory (fully resolved)
 *   fails with EIO, as on a disk that reports a write error.
 * - KOLVEX_FAULT_SYNC_FILE with KOLVEX_FAULT_SYNC_AFTER_DIRECTORY: once that
 *   directory has been flushed with fsync(2), the next fsync(2) or fdatasync(2)
 *   of that file (fully resolved) fails with EIO, once; the flush of a snapshot
 *   directory after the pointer swap can thus arm a failure of the registry's
 *   next commit. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static atomic_int file_fault_armed;
static atomic_int file_fault_spent;

/* Whether `fd` is open on `name`, a fully resolved path of the kind `is_dir` says. */
static int names(int fd, const char* name, int is_dir) {
  if (name == NULL || *name == '\0') return 0;
  struct stat info;
  if (fstat(fd, &info) != 0 || (S_ISDIR(info.st_mode) != 0) != is_dir) return 0;
  char link[64];
  char path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, path, sizeof path - 1);
  if (length <= 0) return 0;
  path[length] = '\0';
  return strcmp(path, name) == 0;
}

/* Whether this sync of `fd` fails; arms the file's failure when `fd` is the
 * directory that arms it. */
static int sync_fails(int fd) {
  if (names(fd, getenv("KOLVEX_FAULT_FSYNC_DIRECTORY"), 1)) return 1;
  if (names(fd, getenv("KOLVEX_FAULT_SYNC_AFTER_DIRECTORY"), 1)) {
    atomic_store(&file_fault_armed, 1);
    return 0;
  }
  if (atomic_load(&file_fault_armed) && names(fd, getenv("KOLVEX_FAULT_SYNC_FILE"), 0)) {
    return atomic_exchange(&file_fault_spent, 1) == 0;
  }
  return 0;
}

/* The sync `name` of `fd`: failed with EIO when a fault names it, otherwise the
 * C library's, looked up once into `*real`. */
static int sync_or_fail(int fd, const char* name, int (**real)(int)) {
  if (sync_fails(fd)) {
    errno = EIO;
    return -1;
  }
  if (*real == NULL) *real = (int (*)(int))dlsym(RTLD_NEXT, name);
  return (*real)(fd);
}

int fsync(int fd) {
  static int (*real_fsync)(int);
  return sync_or_fail(fd, "fsync", &real_fsync);
}

int fdatasync(int fd) {
  static int (*real_fdatasync)(int);
  return sync_or_fail(fd, "fdatasync", &real_fdatasync);
}
