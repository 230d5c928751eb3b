/* Loaded into kvemmc by the box (--kill-at): ends kvemmc with SIGKILL, the
 * way a pulled power cord or a crash ends it, at a chosen point of its
 * writes, and writes down where.
 *
 *   KVEMMC_BOX_KILL_AT=bytes:N   in the middle of the write to /dev/mmcblk0
 *                                that crosses N bytes written there in all
 *                                (the part up to N is written first)
 *   KVEMMC_BOX_KILL_AT=record:N  just before the Nth record of the
 *                                relocation journal is written, after the
 *                                eMMC writes it speaks of
 *   KVEMMC_BOX_KILL_AT=reserved:N  just before the Nth write to
 *                                /dev/reserved (the table and DTB copies)
 *
 * or, instead of ending it, makes one call fail with EIO (as a failing
 * boot media does) and lets kvemmc go on:
 *
 *   KVEMMC_BOX_KILL_AT=record-fails:N       the write of the Nth record of
 *                                the relocation journal (nothing of it is
 *                                written)
 *   KVEMMC_BOX_KILL_AT=folder-sync-fails:N  the Nth fsync of the journal's
 *                                folder (.../backup/kvemmc)
 *
 * Built by the box with the system's C compiler; only kvemmc's own writes
 * count (the disk tools it starts load it too, but do nothing with it).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static long long byte_limit = -1, record_limit = -1, reserved_limit = -1;
static long long record_failure = -1, folder_sync_failure = -1;
static long long written, records, reserved_writes, folder_syncs;
static dev_t emmc, reserved;
static int active;

__attribute__((constructor)) static void start(void) {
  const char *at = getenv("KVEMMC_BOX_KILL_AT");
  if (!at || strcmp(program_invocation_short_name, "kvemmc") != 0) return;
  struct stat info;
  if (stat("/dev/mmcblk0", &info) != 0) return;
  emmc = info.st_rdev;
  if (stat("/dev/reserved", &info) == 0) reserved = info.st_rdev;
  if (strncmp(at, "bytes:", 6) == 0) byte_limit = atoll(at + 6);
  if (strncmp(at, "record:", 7) == 0) record_limit = atoll(at + 7);
  if (strncmp(at, "reserved:", 9) == 0) reserved_limit = atoll(at + 9);
  if (strncmp(at, "record-fails:", 13) == 0) record_failure = atoll(at + 13);
  if (strncmp(at, "folder-sync-fails:", 18) == 0) folder_sync_failure = atoll(at + 18);
  active = 1;
}

static void die(const char *what) {
  FILE *log = fopen("/box/log/killed", "a");
  if (log) {
    fprintf(log, "%s after %lld bytes to the eMMC and %lld journal records\n", what, written,
            records);
    fclose(log);
  }
  kill(getpid(), SIGKILL);
}

static void note_failure(const char *what) {
  FILE *log = fopen("/box/log/failed", "a");
  if (log) {
    fprintf(log, "%s failed with EIO (injected)\n", what);
    fclose(log);
  }
}

/* Whether the open file `fd` is named ...`suffix`. */
static int named(int fd, const char *suffix) {
  char link[64], path[512];
  size_t want = strlen(suffix);
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, path, sizeof(path) - 1);
  if (length < (ssize_t)want) return 0;
  path[length] = '\0';
  return strcmp(path + length - want, suffix) == 0;
}

/* A record is one 4 KiB block written to the journal under its own name
 * (its head is written under "relocation.journal.new" and renamed). */
static int is_journal_record(int fd, size_t size) {
  return size == 4096 && named(fd, "/relocation.journal");
}

typedef ssize_t (*pwrite_fn)(int, const void *, size_t, off_t);

static ssize_t watched(pwrite_fn real, int fd, const void *buffer, size_t size, off_t at) {
  if (active) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
      info.st_mode = 0;
    } else if (S_ISBLK(info.st_mode) && info.st_rdev == emmc && byte_limit >= 0) {
      if (written + (long long)size > byte_limit) {
        size_t part = (size_t)(byte_limit - written);
        // A write past the page cache takes whole blocks only: the part
        // that lands goes the cached way.
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_DIRECT)) fcntl(fd, F_SETFL, flags & ~O_DIRECT);
        if (part > 0) real(fd, buffer, part, at);
        written = byte_limit;
        die("killed in a write");
      }
      written += (long long)size;
    } else if (reserved_limit >= 0 && S_ISBLK(info.st_mode) && info.st_rdev == reserved) {
      if (++reserved_writes == reserved_limit) die("killed before a write to /dev/reserved");
    } else if (record_limit >= 0 && S_ISREG(info.st_mode) && is_journal_record(fd, size)) {
      if (++records == record_limit) die("killed before a journal record");
    } else if (record_failure >= 0 && S_ISREG(info.st_mode) && is_journal_record(fd, size)) {
      if (++records == record_failure) {
        note_failure("a journal record's write");
        errno = EIO;
        return -1;
      }
    }
  }
  return real(fd, buffer, size, at);
}

ssize_t pwrite(int fd, const void *buffer, size_t size, off_t at) {
  static pwrite_fn real;
  if (!real) real = (pwrite_fn)dlsym(RTLD_NEXT, "pwrite");
  return watched(real, fd, buffer, size, at);
}

ssize_t pwrite64(int fd, const void *buffer, size_t size, off_t at) {
  static pwrite_fn real;
  if (!real) real = (pwrite_fn)dlsym(RTLD_NEXT, "pwrite64");
  return watched(real, fd, buffer, size, at);
}

int fsync(int fd) {
  static int (*real)(int);
  if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  struct stat info;
  if (active && folder_sync_failure >= 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) &&
      named(fd, "/backup/kvemmc") && ++folder_syncs == folder_sync_failure) {
    note_failure("an fsync of the journal's folder");
    errno = EIO;
    return -1;
  }
  return real(fd);
}
