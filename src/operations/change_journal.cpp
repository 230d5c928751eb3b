// The layout change and the journal that lets a later run finish a
// single-boot change: the eMMC's identity and the change's identifier kept
// in it, the steps after the relocation recorded as they are done, and the
// mark on the finished installation. See operation_steps.h.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "frontend.h"
#include "operation_steps.h"
#include "region_io.h"
#include "storage.h"

namespace {

constexpr const char msg_format_failed[] = "Failed to format partition '%s'!\n";

// Everything written before it is on the device before a record says so:
// sync() writes the filesystems' pages out, but sends no cache flush to the
// eMMC, so the device itself is flushed before the record goes out.
int record_durable_stage(relocation_journal *journal, uint32_t stage) {
  if (!journal) return 0;
  sync();
  if (flush_emmc() != 0) return -1;
  return record_change_stage(*journal, stage);
}

}  // namespace

// ---- The eMMC's identity and the change's identifier ----

void read_emmc_cid(char (&cid)[emmc_cid_size], const char *path) {
  memset(cid, 0, sizeof(cid));
  owned_file file(fopen(path, "r"));
  if (!file) return;
  char text[48] = {};
  const size_t length = fread(text, 1, sizeof(text) - 1, file.get());
  constexpr size_t digits = emmc_cid_size - 1;
  if (length != digits && !(length == digits + 1 && text[digits] == '\n')) return;
  for (size_t i = 0; i < digits; i++) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return;
  }
  memcpy(cid, text, digits);
}

int draw_change_id(uint8_t (&id)[change_id_size]) {
  if (getrandom(id, sizeof(id), 0) == static_cast<ssize_t>(sizeof(id))) return 0;
  owned_fd source;
  if (open_region_file(source, "/dev/urandom", O_RDONLY) == 0 &&
      read_region_at(source.fd, 0, id, sizeof(id)) == 0)
    return 0;
  puts("Cannot draw a random identifier for the change!");
  return -1;
}

namespace {

void change_id_text(const uint8_t *id, char (&text)[2 * change_id_size + 2]) {
  for (size_t i = 0; i < change_id_size; i++) snprintf(text + 2 * i, 3, "%02x", id[i]);
  text[2 * change_id_size] = '\n';
  text[2 * change_id_size + 1] = '\0';
}

// The mark of a finished copy, durable with its name.
int mark_installation(const uint8_t *id) {
  char text[2 * change_id_size + 2];
  change_id_text(id, text);
  owned_fd file, folder;
  if (!check_temp_mount_target(path_change_mark) ||
      open_region_file(file, path_change_mark, region_create) != 0 ||
      write_region_at(file.fd, 0, text, 2 * change_id_size + 1) != 0 ||
      close_region_file(file) != 0 ||
      open_region_file(folder, path_emmc_storage_mount, O_RDONLY) != 0 ||
      sync_region_file(folder.fd) != 0) {
    printf("Failed to write the mark of the change '%s'!\n", path_change_mark);
    return -1;
  }
  return 0;
}

// Only an ext4 filesystem can hold the mark: its superblock's magic 0xEF53
// at byte 0x438.
bool holds_ext4(const mmc_partitions_fmt *table, const char *name) {
  int index = 0;
  owned_fd device;
  uint8_t magic[2] = {};
  return find_partition(table, name, &index) == 0 &&
         open_region_file(device, path_emmc_device, O_RDONLY) == 0 &&
         read_region_at(device.fd, table->entries[index].offset + 0x438, magic, sizeof(magic)) == 0 &&
         magic[0] == 0x53 && magic[1] == 0xEF;
}

}  // namespace

bool installation_shows_change(const mmc_partitions_fmt *table, const uint8_t *id) {
  if (!holds_ext4(table, name_kv_storage)) return false;
  if (loop_mount_partition_read_only(table, name_kv_storage, path_emmc_storage_mount) != 0) {
    unmount_temp_folders();
    return false;
  }
  char found[2 * change_id_size + 2] = {}, expected[2 * change_id_size + 2];
  change_id_text(id, expected);
  owned_file file(fopen(path_change_mark, "r"));
  const bool same = file && fread(found, 1, sizeof(found) - 1, file.get()) == strlen(expected) &&
                    strcmp(found, expected) == 0;
  file.reset();
  if (unmount_temp_folders() != 0) puts(msg_umount_failed);
  return same;
}

// ---- The filesystems of the installation ----

int make_installation_filesystems(const mmc_partitions_fmt *new_table, bool storage,
                                  relocation_journal *journal, uint32_t stage) {
  if (storage && stage < journal_stage_storage_made) {
    if (format_ext4_partition(new_table, name_kv_storage) < 0) {
      printf(msg_format_failed, name_kv_storage);
      return -1;
    }
    if (record_durable_stage(journal, journal_stage_storage_made) != 0) return -1;
  }
  // vfat keeps no journal of its own: one cut off while it was written may
  // be damaged, so it is made again unless its copy is complete.
  if (stage < journal_stage_flash_copied) {
    if (format_vfat_partition(new_table, name_kv_flash) < 0) {
      printf(msg_format_failed, name_kv_flash);
      return -1;
    }
    if (stage < journal_stage_flash_made &&
        record_durable_stage(journal, journal_stage_flash_made) != 0)
      return -1;
  }
  return 0;
}

// ---- The reserved area of a journalled change ----

namespace {

static_assert(sizeof(reserved_image::blocks) == journal_image_room);

uint32_t crc_of(const void *bytes, uint64_t size) {
  return static_cast<uint32_t>(
      crc32(0, static_cast<const Bytef *>(bytes), static_cast<uInt>(size)));
}

// Region `region` (0, 1: the DTB copies; 2: the table) of `image`.
const uint8_t *region_bytes(const reserved_image *image, int region, uint64_t *size) {
  *size = region < dtb_copy_count ? dtb_block_size : sizeof(mmc_partitions_fmt);
  return region < dtb_copy_count ? image->blocks + region * dtb_block_size
                                 : reinterpret_cast<const uint8_t *>(&image->table);
}

// The three regions as they are on the reserved partition now.
int read_reserved_area(reserved_image *area) {
  owned_fd device;
  if (open_region_file(device, path_reserved_device, O_RDONLY) != 0) return -1;
  for (int copy = 0; copy < dtb_copy_count; copy++) {
    if (read_region_at(device.fd, dtb_copy_offset(copy), area->blocks + copy * dtb_block_size,
                       dtb_block_size) != 0)
      return -1;
  }
  return read_region_at(device.fd, 0, &area->table, sizeof(area->table));
}

}  // namespace

int start_change_journal(int has_userdata, const mmc_partitions_fmt *old_table,
                         const mmc_partitions_fmt *new_table, const layout_change &change,
                         const reserved_image *image, relocation_journal &journal) {
  owned<journal_header> header = allocate_zeroed<journal_header>(sizeof(journal_header));
  owned<reserved_image> before = allocate_zeroed<reserved_image>(sizeof(reserved_image));
  if (!header || !before) {
    puts("malloc failed for the relocation journal!");
    return -1;
  }
  if (read_reserved_area(before.get()) != 0) {
    printf("Failed to read '%s' for the relocation journal!\n", path_reserved_device);
    return -1;
  }
  for (int region = 0; region < reserved_region_count; region++) {
    uint64_t size = 0;
    const uint8_t *bytes = region_bytes(before.get(), region, &size);
    header->before_crc[region] = crc_of(bytes, size);
  }
  header->operation = change.operation;
  header->data_source = static_cast<uint32_t>(change.data_source);
  header->has_userdata = static_cast<uint32_t>(has_userdata);
  header->emmc_size = block_device_size("mmcblk0");
  read_emmc_cid(header->emmc_cid);
  header->old_table = *old_table;
  header->new_table = *new_table;
  snprintf(header->snapshot, sizeof(header->snapshot), "%s", change.snapshot ? change.snapshot : "");
  // A removal moves nothing: its table only gives Android its space back.
  const bool moves = change.operation != journal_operation_remove;
  if (moves && check_partition_moves(static_cast<unsigned>(has_userdata), old_table, new_table,
                                     path_emmc_device, &header->schedule) != 0) {
    puts("Failed to move partitions");
    return -1;
  }
  if (draw_change_id(header->change_id) != 0 ||
      create_relocation_journal(journal, *header, path_relocation_journal, image->blocks,
                                sizeof(image->blocks)) != 0) {
    puts(moves ? "Failed to write the journal of the change: the eMMC was not changed!"
               : "Failed to write the journal of the removal!");
    return -1;
  }
  return 0;
}

int compare_reserved_area(const journal_state &state, reserved_image *image,
                          reserved_area_state *area) {
  const journal_header &header = state.header;
  owned<reserved_image> now = allocate_zeroed<reserved_image>(sizeof(reserved_image));
  if (!now) {
    puts("malloc failed for dtb!");
    return -1;
  }
  if (header.image_size != sizeof(image->blocks) ||
      read_journal_image(state, image->blocks) != 0) {
    printf("The relocation journal '%s' holds no sound image of the reserved area!\n",
           path_relocation_journal);
    return -1;
  }
  image->table = header.new_table;
  if (read_reserved_area(now.get()) != 0) {
    printf("Failed to read '%s'!\n", path_reserved_device);
    return -1;
  }
  owned<uint8_t> interim = allocate_zeroed(dtb_copy_count * dtb_block_size);
  if (!interim) {
    puts("malloc failed for dtb!");
    return -1;
  }
  interim_reserved_blocks(image, interim.get());
  for (int region = 0; region < reserved_region_count; region++) {
    uint64_t size = 0;
    const uint8_t *wanted = region_bytes(image, region, &size);
    const uint8_t *found = region_bytes(now.get(), region, &size);
    area->written[region] = memcmp(wanted, found, size) == 0;
    area->interim[region] = !area->written[region] && region < dtb_copy_count &&
                            memcmp(interim.get() + region * dtb_block_size, found, size) == 0;
    // A copy with no node before may show the interim bytes too.
    area->before[region] = !area->written[region] && crc_of(found, size) == header.before_crc[region];
  }
  return 0;
}

bool reserved_area_untouched(const reserved_area_state &area) {
  return area.before[0] && area.before[1] && area.before[2];
}

bool reserved_area_of_change(const reserved_area_state &area) {
  // A region of the change or an interim copy, or the first write (copy 0)
  // torn.
  for (int region = 0; region < reserved_region_count; region++) {
    if (area.written[region] || area.interim[region]) return true;
  }
  return area.before[1] && area.before[2];
}

int mend_reserved_area(const reserved_image *image, const reserved_area_state &area) {
  if (area.written[0] && area.written[1] && area.written[2]) return 0;
  puts("Writing the partition table and both device trees of the change again...");
  // Copy 0, copy 1, the table, in the order of the change itself.
  if (write_reserved_image(image, path_reserved_device) != 0) {
    puts("Failed to write the new partition table to eMMC!");
    return -1;
  }
  return 0;
}

// ---- The layout change ----

int write_new_layout(int has_userdata, const mmc_partitions_fmt *old_table,
                     const mmc_partitions_fmt *new_table, const layout_change *change,
                     relocation_journal &journal) {
  owned<reserved_image> image = allocate_zeroed<reserved_image>(sizeof(reserved_image));
  if (!image) {
    puts("malloc failed for dtb!");
    return -1;
  }
  // The table and both reworked copies are in the journal before the first
  // of them is written.
  if (prepare_reserved_image(has_userdata, new_table, image.get(), path_reserved_device) != 0) {
    puts("Failed to write the new partition table to eMMC!");
    return -1;
  }
  if (old_table && start_change_journal(has_userdata, old_table, new_table, *change,
                                        image.get(), journal) != 0)
    return -1;
  if (write_reserved_image(image.get(), path_reserved_device) != 0) {
    puts("Failed to write the new partition table to eMMC!");
    return -1;
  }
  image.reset();
  if (old_table &&
      move_partitions(static_cast<unsigned>(has_userdata), old_table, new_table, path_emmc_device,
                      &journal) < 0) {
    puts("Failed to move partitions");
    return -1;
  }
  return make_installation_filesystems(new_table, old_table != nullptr,
                                       old_table ? &journal : nullptr);
}

int copy_into_installation(operation_run &run, const char *flash_source,
                           const char *storage_source, bool running_system,
                           relocation_journal *journal, uint32_t stage) {
  if (running_system && stop_kodi(run) != 0) return -1;
  copy_guard guard;
  int copied = 0;
  if (!journal) {
    // A dual-boot installation: the images of the factory state stand in
    // its storage folder already, and stay.
    copied = copy_to_emmc(flash_source, storage_source, true, copy_beside_factory_images);
  } else {
    // Each copy recorded once it is durable and was not cut short; the mark
    // follows the last one.
    bool announce = true;
    if (stage < journal_stage_flash_copied) {
      copied = copy_to_emmc(flash_source, nullptr);
      announce = false;
      if (copied == 0 && copy_signal_arrived() == 0)
        copied = record_durable_stage(journal, journal_stage_flash_copied);
    }
    if (copied == 0 && copy_signal_arrived() == 0 && stage < journal_stage_storage_copied) {
      copied = copy_to_emmc(nullptr, storage_source, announce);
      if (copied == 0 && copy_signal_arrived() == 0)
        copied = record_durable_stage(journal, journal_stage_storage_copied);
    }
    if (copied == 0 && copy_signal_arrived() == 0 && stage < journal_stage_marked) {
      copied = mark_installation(journal->change_id);
      if (copied == 0) copied = record_durable_stage(journal, journal_stage_marked);
    }
  }
  if (running_system && start_kodi(run) != 0) return -1;
  if (check_copy_interrupted(guard) != 0) return -1;
  if (copied != 0) {
    puts("Failed to move data from original media to eMMC");
    return -1;
  }
  return 0;
}

bool journal_table_on_emmc() {
  owned<journal_header> header = allocate_zeroed<journal_header>(sizeof(journal_header));
  owned<mmc_partitions_fmt> table = allocate_zeroed<mmc_partitions_fmt>(sizeof(mmc_partitions_fmt));
  owned_fd journal, reserved;
  return header && table && open_region_file(journal, path_relocation_journal, O_RDONLY) == 0 &&
         read_region_at(journal.fd, 0, header.get(), sizeof(journal_header)) == 0 &&
         open_region_file(reserved, path_reserved_device, O_RDONLY) == 0 &&
         read_region_at(reserved.fd, 0, table.get(), sizeof(mmc_partitions_fmt)) == 0 &&
         memcmp(&header->new_table, table.get(), sizeof(mmc_partitions_fmt)) == 0;
}

int end_relocation_journal() {
  if (!path_exists(path_relocation_journal)) return 0;
  return remove_relocation_journal();
}

int remove_saved_installation_data() {
  if (discard_folder(path_backup_folder) != 0) {
    printf(msg_remove_folder_failed, path_backup_folder);
    return -1;
  }
  return 0;
}

void report_installed(operation_run &run, uint32_t operation) {
  const bool migrated = operation == journal_operation_migrate;
  set_status_word(migrated ? status_migrate : status_new);
  puts("\nSuccess!\n");
  if (migrated) {
    printf("\nPlease remove current boot media (SD or USB) and");
    puts("\nreboot the device to boot from eMMC!\n");
  } else {
    printf("\nYou can now power off the device, remove the used boot media (SD or USB) and");
    puts("\npower on again to boot the device from eMMC!\n");
  }
  run.succeeded = true;
}
