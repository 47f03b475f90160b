/* Fault injection for whole-command tests, loaded into the program with
 * LD_PRELOAD: fsync(2) of the directory named (fully resolved) by
 * KOLVEX_FAULT_FSYNC_DIRECTORY fails with EIO, as on a disk that reports a
 * write error. Every other call goes to the C library unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int names_faulty_directory(int fd) {
  const char* faulty = getenv("KOLVEX_FAULT_FSYNC_DIRECTORY");
  if (faulty == NULL || *faulty == '\0') return 0;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) return 0;
  char link[64];
  char path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, path, sizeof path - 1);
  if (length <= 0) return 0;
  path[length] = '\0';
  return strcmp(path, faulty) == 0;
}

int fsync(int fd) {
  static int (*real_fsync)(int);
  if (names_faulty_directory(fd)) {
    errno = EIO;
    return -1;
  }
  if (real_fsync == NULL) real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  return real_fsync(fd);
}
