/* The box's power cord (--power-cut): a FUSE passthrough that the box's loop
 * devices sit on, so that every write and every flush the kernel sends to the
 * eMMC image and the boot media's storage image arrives here, in order, and
 * is logged.  A real box has no battery: what the eMMC had not been told to
 * make durable may be gone, kept in part, or torn when the power goes.  At
 * the cut point of a run this program turns the image files into one of
 * those states, answers every later write with success without doing it (so
 * the kernel's late writeback and the unmounts change nothing), and kills
 * every process of the box's root (kvemmc and the disk tools it runs).
 *
 *   powercut MOUNTPOINT ROOT LOG NAME=FILE...
 *
 * Runs single-threaded and in the foreground; the files are offered as
 * MOUNTPOINT/NAME with direct_io, so nothing is cached in between.  Writing
 * a line to MOUNTPOINT/control arms the next run (and resets its counters):
 *
 *   none
 *   MODE SEED write FILE LO HI K   the Kth write of this run to FILE (a NAME,
 *                                  or "any") that touches bytes [LO, HI)
 *   MODE SEED flush FILE K         just after the Kth flush of FILE
 *   cut MODE SEED                  at once (the run has ended)
 *
 * MODE: drop (only what was flushed stays), subset (and a random choice,
 * from SEED, of the unflushed writes), torn (as drop, with the last
 * unflushed write of the file cut kept up to a 512-byte boundary).  A flush
 * of a file makes all of that file's earlier writes durable: the loop
 * devices over it (the whole eMMC, the reserved partition, a partition)
 * share the one cache of the device.  The writes since a file's last flush
 * are kept in an undo log beside the log (old and new bytes).
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <inttypes.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { max_files = 4 };

struct undo_entry {
  uint64_t offset, length, at; /* old bytes at `at`, new ones behind them */
  uint64_t seq;
};

struct image {
  const char *name, *path;
  int fd, undo_fd;
  struct undo_entry *entries;
  size_t count, room;
  uint64_t undo_size, writes, flushes;
};

static struct image files[max_files];
static int file_count;
static const char *root_dir;
static FILE *log_file;
static uint64_t seq;
static int cut;

/* The armed cut of this run. */
static struct {
  int armed;
  char mode[16];
  uint64_t seed;
  int flush;      /* 0: a write, 1: just after a flush */
  int file;       /* index, or -1 for any */
  uint64_t lo, hi, k, count;
  char text[256];
} point;

static uint64_t rng;
static uint64_t next_random(void) {
  rng ^= rng << 13;
  rng ^= rng >> 7;
  rng ^= rng << 17;
  return rng;
}

static int file_of(const char *path) {
  for (int i = 0; i < file_count; i++)
    if (path[0] == '/' && strcmp(path + 1, files[i].name) == 0) return i;
  return -1;
}

static int copy_bytes(int from, uint64_t from_at, int to, uint64_t to_at, uint64_t length) {
  static char buffer[1 << 20];
  while (length > 0) {
    size_t part = length < sizeof buffer ? (size_t)length : sizeof buffer;
    ssize_t got = pread(from, buffer, part, (off_t)from_at);
    if (got <= 0) return -1;
    if (pwrite(to, buffer, (size_t)got, (off_t)to_at) != got) return -1;
    from_at += (uint64_t)got;
    to_at += (uint64_t)got;
    length -= (uint64_t)got;
  }
  return 0;
}

static void forget_unflushed(struct image *f) {
  f->count = 0;
  f->undo_size = 0;
  if (ftruncate(f->undo_fd, 0) != 0) fprintf(stderr, "powercut: cannot empty the undo log\n");
}

/* Takes the file back to its last flush, newest write first, then does the
 * writes that survive again, in order. */
static void cut_file(int index, int triggering) {
  struct image *f = &files[index];
  for (size_t n = f->count; n-- > 0;) {
    struct undo_entry *e = &f->entries[n];
    copy_bytes(f->undo_fd, e->at, f->fd, e->offset, e->length);
  }
  uint64_t kept = 0, torn_part = 0;
  for (size_t n = 0; n < f->count; n++) {
    struct undo_entry *e = &f->entries[n];
    uint64_t length = 0;
    if (strncmp(point.mode, "subset", 6) == 0) {
      if (next_random() & 1) length = e->length;
    } else if (strcmp(point.mode, "torn") == 0 && triggering && n + 1 == f->count) {
      uint64_t sectors = e->length / 512;
      if (sectors > 1) length = 512 * (1 + next_random() % (sectors - 1));
      torn_part = length;
    }
    if (length == 0) continue;
    copy_bytes(f->undo_fd, e->at + e->length, f->fd, e->offset, length);
    kept++;
  }
  fsync(f->fd);
  fprintf(log_file, "cut %s: %zu unflushed writes undone, %" PRIu64 " kept", f->name, f->count,
          kept);
  if (torn_part) fprintf(log_file, " (the last one torn after %" PRIu64 " bytes)", torn_part);
  fprintf(log_file, "\n");
  forget_unflushed(f);
}

static void kill_the_box(void) {
  /* Twice: a process may have been starting another one. */
  for (int pass = 0; pass < 2; pass++) {
    DIR *proc = opendir("/proc");
    if (!proc) return;
    struct dirent *d;
    while ((d = readdir(proc))) {
      char link[300], target[4096];
      if (d->d_name[0] < '0' || d->d_name[0] > '9') continue;
      snprintf(link, sizeof link, "/proc/%s/root", d->d_name);
      ssize_t n = readlink(link, target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = 0;
      if (strcmp(target, root_dir) == 0) kill(atoi(d->d_name), SIGKILL);
    }
    closedir(proc);
  }
}

static void power_cut(int index) {
  cut = 1;
  fprintf(log_file, "CUT %s at %" PRIu64 " (%s)\n", point.mode, seq, point.text);
  for (int i = 0; i < file_count; i++) cut_file(i, i == index);
  fflush(log_file);
  kill_the_box();
}

static int arm(const char *line) {
  memset(&point, 0, sizeof point);
  snprintf(point.text, sizeof point.text, "%s", line);
  char *nl = strchr(point.text, '\n');
  if (nl) *nl = 0;
  for (int i = 0; i < file_count; i++) files[i].writes = files[i].flushes = 0;
  fprintf(log_file, "run armed: %s\n", point.text);
  fflush(log_file);
  if (strcmp(point.text, "none") == 0) return 0;
  if (strncmp(point.text, "cut ", 4) == 0) { /* now: the run has ended */
    unsigned long long seed = 0;
    if (sscanf(point.text, "cut %15s %llu", point.mode, &seed) != 2) return -EINVAL;
    rng = 0x9e3779b97f4a7c15ull ^ (seed * 0x100000001b3ull);
    if (!cut) power_cut(-1);
    return 0;
  }
  char kind[16], file[64];
  unsigned long long seed = 0, a = 0, b = 0, c = 0;
  int got = sscanf(point.text, "%15s %llu %15s %63s %llu %llu %llu", point.mode, &seed, kind, file,
                   &a, &b, &c);
  point.seed = seed;
  point.file = -1;
  if (strcmp(file, "any") != 0) {
    char path[80];
    snprintf(path, sizeof path, "/%s", file);
    point.file = file_of(path);
    if (point.file < 0) return -EINVAL;
  }
  if (got == 7 && strcmp(kind, "write") == 0) {
    point.lo = a, point.hi = b, point.k = c;
  } else if (got == 5 && strcmp(kind, "flush") == 0 && point.file >= 0) {
    point.flush = 1, point.k = a;
  } else {
    return -EINVAL;
  }
  rng = 0x9e3779b97f4a7c15ull ^ (seed * 0x100000001b3ull);
  if (!rng) rng = 1;
  point.armed = 1;
  return 0;
}

static int do_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
  (void)fi;
  memset(st, 0, sizeof *st);
  if (strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (strcmp(path, "/control") == 0) {
    st->st_mode = S_IFREG | 0200;
    st->st_nlink = 1;
    return 0;
  }
  int i = file_of(path);
  if (i < 0) return -ENOENT;
  if (fstat(files[i].fd, st) != 0) return -errno;
  return 0;
}

static int do_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t off,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
  (void)off, (void)fi, (void)flags;
  if (strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", NULL, 0, 0);
  fill(buf, "..", NULL, 0, 0);
  fill(buf, "control", NULL, 0, 0);
  for (int i = 0; i < file_count; i++) fill(buf, files[i].name, NULL, 0, 0);
  return 0;
}

static int do_open(const char *path, struct fuse_file_info *fi) {
  if (strcmp(path, "/control") != 0 && file_of(path) < 0) return -ENOENT;
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return 0;
}

static int do_read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  (void)fi;
  int i = file_of(path);
  if (i < 0) return -EINVAL;
  ssize_t got = pread(files[i].fd, buf, size, off);
  return got < 0 ? -errno : (int)got;
}

static int do_write(const char *path, const char *buf, size_t size, off_t off,
                    struct fuse_file_info *fi) {
  (void)fi;
  if (strcmp(path, "/control") == 0) {
    char line[256];
    snprintf(line, sizeof line, "%.*s", (int)(size < 255 ? size : 255), buf);
    int rc = arm(line);
    return rc < 0 ? rc : (int)size;
  }
  int i = file_of(path);
  if (i < 0) return -EINVAL;
  struct image *f = &files[i];
  seq++;
  if (cut) {
    fprintf(log_file, "%" PRIu64 " %s write %lld %zu discarded\n", seq, f->name, (long long)off, size);
    return (int)size;
  }
  f->writes++;
  fprintf(log_file, "%" PRIu64 " %s write %lld %zu\n", seq, f->name, (long long)off, size);
  /* The undo log: old bytes, then the new ones. */
  if (f->count == f->room) {
    f->room = f->room ? 2 * f->room : 1024;
    f->entries = realloc(f->entries, f->room * sizeof *f->entries);
    if (!f->entries) return -ENOMEM;
  }
  struct undo_entry *e = &f->entries[f->count++];
  e->offset = (uint64_t)off, e->length = size, e->at = f->undo_size, e->seq = seq;
  static char old[1 << 20];
  size_t done = 0;
  while (done < size) {
    size_t part = size - done < sizeof old ? size - done : sizeof old;
    ssize_t got = pread(f->fd, old, part, off + (off_t)done);
    if (got < 0) return -errno;
    memset(old + got, 0, part - (size_t)got);
    if (pwrite(f->undo_fd, old, part, (off_t)(e->at + done)) != (ssize_t)part) return -EIO;
    done += part;
  }
  if (pwrite(f->undo_fd, buf, size, (off_t)(e->at + size)) != (ssize_t)size) return -EIO;
  f->undo_size += 2 * (uint64_t)size;
  ssize_t put = pwrite(f->fd, buf, size, off);
  if (put < 0) return -errno;
  if (point.armed && !point.flush && (point.file < 0 || point.file == i) &&
      (uint64_t)off < point.hi && (uint64_t)off + size > point.lo && ++point.count == point.k)
    power_cut(i);
  return (int)put;
}

static int do_fsync(const char *path, int datasync, struct fuse_file_info *fi) {
  (void)datasync, (void)fi;
  int i = file_of(path);
  if (i < 0) return 0;
  struct image *f = &files[i];
  seq++;
  if (cut) {
    fprintf(log_file, "%" PRIu64 " %s flush discarded\n", seq, f->name);
    return 0;
  }
  f->flushes++;
  fprintf(log_file, "%" PRIu64 " %s flush %" PRIu64 " (%zu writes made durable)\n", seq, f->name,
          f->flushes, f->count);
  /* Durable here means no longer in the undo log: the host's own disk
   * plays no part, so nothing is synced to it (that only costs time). */
  forget_unflushed(f);
  if (point.armed && point.flush && point.file == i && f->flushes == point.k) power_cut(i);
  return 0;
}

static int do_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
  (void)path, (void)size, (void)fi;
  return 0; /* "control" is opened with O_TRUNC by the shell */
}

static void *do_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
  (void)conn;
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->attr_timeout = 0;
  cfg->entry_timeout = 0;
  /* The box waits on descriptor 3 for the mount to answer. */
  if (fcntl(3, F_GETFD) != -1) {
    if (write(3, "ready\n", 6) != 6) perror("powercut: ready");
    close(3);
  }
  return NULL;
}

static const struct fuse_operations operations = {
    .init = do_init,
    .getattr = do_getattr,
    .readdir = do_readdir,
    .open = do_open,
    .read = do_read,
    .write = do_write,
    .fsync = do_fsync,
    .truncate = do_truncate,
};

int main(int argc, char **argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: powercut MOUNTPOINT ROOT LOG NAME=FILE...\n");
    return 2;
  }
  root_dir = argv[2];
  log_file = fopen(argv[3], "a");
  if (!log_file) return 1;
  setvbuf(log_file, NULL, _IOFBF, 1 << 16);
  for (int a = 4; a < argc && file_count < max_files; a++) {
    char *eq = strchr(argv[a], '=');
    if (!eq) return 2;
    *eq = 0;
    struct image *f = &files[file_count++];
    f->name = argv[a];
    f->path = eq + 1;
    f->fd = open(f->path, O_RDWR);
    char undo[4096];
    snprintf(undo, sizeof undo, "%s.undo-%s", argv[3], f->name);
    f->undo_fd = open(undo, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (f->fd < 0 || f->undo_fd < 0) {
      fprintf(stderr, "powercut: cannot open %s\n", f->path);
      return 1;
    }
  }
  char *fuse_argv[] = {argv[0], argv[1], "-f", "-s", "-o", "allow_other,default_permissions", NULL};
  int rc = fuse_main(6, fuse_argv, &operations, NULL);
  fflush(log_file);
  return rc;
}
