// Making the ext4 and vfat filesystems of an installation, and checking and
// resizing an ext4 filesystem to its partition.
//
// Relied on from the tools (besides their exit code, 0 = done):
// - mke2fs: progress text on standard output (shown live); with
//   "-E offset=" it writes inside the byte range of the whole device that
//   starts there, with the given number of MiB ("m").
// - mkfs.vfat: progress text on standard output (shown live).
// - losetup: as for the loop mounts; "--sizelimit" bounds the device to the
//   partition, so mkfs.vfat cannot write past it.
// - e2fsck: the exit code bits 1 (errors corrected) and 2 (errors corrected,
//   reboot needed); 4 and above mean failure, unless bit 1 is set too (the
//   corrections were made), and codes of 128 and above always do.
// - resize2fs: nothing but the exit code; the size is given in MiB ("M").
// - sync: returns when the written data have reached the medium.
// - blkid: "-p -o value -s TYPE -O OFFSET -S SIZE" prints the type of the
//   filesystem in that byte range on one line; a non-zero exit code when it
//   finds none.
#include <cstring>

#include "storage.h"
#include "storage_internal.h"

// A formed command line, its output shown live; "Error executing cmd" on failure.
static int run_echoed(const char *command) {
  if (run_command(command, nullptr, 0, stdout) < 0) {
    printf(msg_cmd_failed, command);
    return -1;
  }
  return 0;
}

static constexpr const char msg_starting_format[] =
    "\nStarting to format the new '%s' partition...\n";

// A feature list is a comma-separated list of names, "^" clearing one.
static bool check_feature_list(const char *features) {
  bool safe = features && features[0] != '\0';
  for (const char *p = features; safe && *p; p++) {
    char c = *p;
    safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ',' || c == '^';
  }
  if (!safe) puts("Unsafe ext4 feature list refused!");
  return safe;
}

int form_mke2fs_command(char *buffer, size_t buffer_size, const char *label, const char *device,
                        const char *features, uint64_t offset, uint64_t size, const char *tail) {
  char range[64] = {}, mib[32] = {};
  if (offset != 0) {
    snprintf(range, sizeof(range), " -E offset=%lld", static_cast<long long>(offset));
  }
  if (size != 0) snprintf(mib, sizeof(mib), " %lldm", static_cast<long long>(size >> 20));
  return format_command(buffer, buffer_size, "mke2fs -F -L \"%s\" -t ext4 -m 0 \"%s\" -O %s%s%s%s",
                        label, device, features, range, mib, tail);
}

int form_mkfs_vfat_command(char *buffer, size_t buffer_size, const char *label,
                           const char *device, const char *tail) {
  return format_command(buffer, buffer_size, "mkfs.vfat -n \"%s\" %s%s", label, device, tail);
}

int format_ext4(const char *label, const char *device, const char *features, uint64_t offset,
                uint64_t size) {
  if (!check_safe_name("label", label) || !check_safe_path("device", device) ||
      !check_feature_list(features)) {
    return -1;
  }
  bool in_range = offset != 0 && size != 0;
  if (in_range && (offset > INT64_MAX || (size >> 20) == 0)) {
    printf("Invalid range for '%s': offset 0x%012llx, size 0x%012llx!\n", label,
           static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size));
    return -1;
  }
  printf(msg_starting_format, label);

  owned<char> command = allocate_text(long_command_size);
  if (!command ||
      form_mke2fs_command(command.get(), long_command_size, label, device, features,
                          in_range ? offset : 0, in_range ? size : 0, " && sync") != 0)
    return -1;
  return run_echoed(command.get());
}

int format_ext4_partition(const mmc_partitions_fmt *table, const char *name, const char *device) {
  if (check_installation_unmounted() != 0) return -1;
  partition_entry entry;
  if (locate_partition(table, name, &entry) != 0) return -1;
  // No loop device: mke2fs works on the whole device within the byte range.
  if (format_ext4(name, device, ext4_features, entry.offset, entry.size) != 0) {
    printf("Failed to format ext4 '%s' partition!\n", name);
    return -1;
  }
  return 0;
}

int format_vfat(const char *label, const char *device) {
  if (!check_safe_name("label", label) || !check_safe_path("device", device)) return -1;
  printf(msg_starting_format, label);
  owned<char> command = allocate_text(long_command_size);
  if (!command ||
      form_mkfs_vfat_command(command.get(), long_command_size, label, device, " && sync") != 0)
    return -1;
  return run_echoed(command.get());
}

int partition_filesystem(const mmc_partitions_fmt *table, const char *name, char *type,
                         size_t type_size, const char *device) {
  type[0] = '\0';
  partition_entry entry;
  if (locate_partition(table, name, &entry) != 0) return -1;
  if (!check_safe_path("device", device)) return -1;
  char command[short_command_size];
  if (format_command(command, sizeof(command), "blkid -p -o value -s TYPE -O %lld -S %lld %s",
                     static_cast<long long>(entry.offset), static_cast<long long>(entry.size),
                     device) != 0) {
    return -1;
  }
  // blkid ends with a non-zero code when it finds no filesystem at all.
  if (run_command(command, type, type_size) < 0) type[0] = '\0';
  for (char *p = type; *p; p++) {
    if (!((*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '_')) *p = '?';
  }
  return 0;
}

int format_vfat_partition(const mmc_partitions_fmt *table, const char *name, const char *device) {
  if (check_installation_unmounted() != 0) return -1;
  partition_entry entry;
  if (locate_partition(table, name, &entry) != 0) return -1;
  loop_device loop;
  if (attach_loop(loop, device, entry.offset, entry.size, false) != 0) return -1;
  if (format_vfat(name, loop.name) != 0) {
    printf("Failed to format vfat '%s' partition!\n", name);
    return -1;
  }
  return detach_loop(loop);
}

// Reads the outcome of "e2fsck -fy": 0 to go on, -1 to stop (with its line).
static int judge_e2fsck(const char *command, const command_outcome &outcome) {
  // A check that did not run to its end has checked nothing: the shell
  // could not run it, or it was ended by a signal (the shell reports that as
  // 128 plus the signal; 128 alone is e2fsck's shared-library error).
  int code = outcome.signal != 0 ? 128 + outcome.signal : outcome.exit_code;
  if (!outcome.completed || code >= 128) {
    printf("e2fsck: Error executing cmd '%s' (%d)\n", command, outcome.completed ? code : -1);
    return -1;
  }
  if (code & 1) {
    puts("e2fsck: File system errors corrected");
  } else if (code & 2) {
    puts("e2fsck: File system errors corrected, system should be rebooted");
    return -1;
  } else if (code != 0) {
    printf("e2fsck: Error executing cmd '%s' (%d)\n", command, code);
    return -1;
  }
  return 0;
}

int check_and_resize(const mmc_partitions_fmt *table, const char *name, const char *device) {
  if (lies_in_scratch_buffer(name)) return -1;
  partition_entry entry;
  if (locate_partition(table, name, &entry) != 0) return -1;
  return check_and_resize_at(entry.offset, entry.size, device);
}

int check_and_resize_at(uint64_t offset, uint64_t size, const char *device) {
  if (!scratch_buffer) {
    puts("No scratch buffer for the command lines!");
    return -1;
  }
  if (lies_in_scratch_buffer(device)) return -1;
  // No size limit: the filesystem may grow up to the partition's new end.
  loop_device loop;
  if (attach_loop(loop, device, offset, 0, false) != 0) return -1;

  if (format_command(scratch_buffer, scratch_buffer_size, "e2fsck -fy %s", loop.name) != 0) {
    return -1;
  }
  command_outcome outcome;
  run_command_outcome(scratch_buffer, nullptr, 0, nullptr, &outcome);
  if (judge_e2fsck(scratch_buffer, outcome) != 0) return -1;
  puts("");

  if (run_formatted(scratch_buffer, scratch_buffer_size, nullptr, "resize2fs %s %lldM", loop.name,
                    static_cast<long long>(size >> 20)) != 0) {
    return -1;
  }
  return detach_loop(loop);
}
