// The plan of a dry run, for a person at the box's console: 80 columns, no
// colour. See operation_plan.h.
#include "operation_plan.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "devicetree.h"
#include "operation_steps.h"
#include "storage.h"

namespace {

// One side of the tables: a mark, the name, the offset in hex, the size in
// MiB and the mask, 38 columns for the values of a real eMMC.
constexpr size_t side_size = 96;  // room for values wider than their columns
constexpr int side_width = 38;
constexpr uint32_t max_side_rows = 2 * max_partitions;

struct table_side {
  char rows[max_side_rows][side_size];
  uint32_t count = 0;
};

uint32_t slots(const mmc_partitions_fmt *table) {
  return table->part_num < max_partitions ? table->part_num : max_partitions;
}

const partition_entry *find_entry(const mmc_partitions_fmt *table, const char *name) {
  int index = 0;
  if (find_partition(table, name, &index) != 0) return nullptr;
  return &table->entries[index];
}

// '*' moves, '~' keeps its place but changes its size, '+' is new, '-' goes;
// `other` is the table on the other side.
char mark_of(const partition_entry &entry, const mmc_partitions_fmt *other, bool is_new) {
  const printable_name name = printable_slot_name(entry.name);
  const partition_entry *there = find_entry(other, name.text);
  if (!there) return is_new ? '+' : '-';
  if (!is_new) return ' ';
  if (there->offset != entry.offset) return '*';
  return there->size != entry.size ? '~' : ' ';
}

void fill_side(table_side &side, const mmc_partitions_fmt *table, const mmc_partitions_fmt *other,
               bool is_new) {
  uint64_t end = 0;
  for (uint32_t i = 0; i < slots(table) && side.count + 2 <= max_side_rows; i++) {
    const partition_entry &entry = table->entries[i];
    if (i > 0 && entry.offset > end) {
      snprintf(side.rows[side.count++], side_size, " %-15s %010llx %5llu", "(gap)",
               static_cast<unsigned long long>(end),
               static_cast<unsigned long long>((entry.offset - end) >> 20));
    }
    snprintf(side.rows[side.count++], side_size, "%c%-15s %010llx %5llu %4llx",
             mark_of(entry, other, is_new), printable_slot_name(entry.name).text,
             static_cast<unsigned long long>(entry.offset),
             static_cast<unsigned long long>(entry.size >> 20),
             static_cast<unsigned long long>(entry.mask));
    if (entry.offset + entry.size > end) end = entry.offset + entry.size;
  }
}

void print_tables(const mmc_partitions_fmt *old_table, const mmc_partitions_fmt *new_table) {
  table_side now, after;
  fill_side(now, old_table, new_table, false);
  fill_side(after, new_table, old_table, true);
  puts("");
  printf("%-*s | %s\n", side_width, "Partition table now", "Partition table written");
  char head[side_size];
  snprintf(head, sizeof(head), " %-15s %-10s %5s %4s", "name", "offset", "MiB", "mask");
  printf("%-*s | %s\n", side_width, head, head);
  for (uint32_t i = 0; i < now.count || i < after.count; i++) {
    if (i < after.count) {
      printf("%-*s | %s\n", side_width, i < now.count ? now.rows[i] : "", after.rows[i]);
    } else {
      printf("%-*s |\n", side_width, now.rows[i]);
    }
  }
  puts("(offsets and masks in hex; * moves, ~ changes its size, + is new, - goes)");
}

int print_trees(const operation_plan &plan) {
  dtb_copy_report reports[dtb_copy_count];
  if (check_partition_table_write(plan.dtb_mode, plan.new_table, path_reserved_device, reports) !=
      0)
    return -1;
  puts("\nDevice tree copies:");
  for (int copy = 0; copy < dtb_copy_count; copy++) {
    const dtb_copy_report &r = reports[copy];
    char form[64];
    if (r.container) {
      snprintf(form, sizeof(form), "%scontainer with %u trees", r.compressed ? "gzip " : "",
               r.trees);
    } else {
      snprintf(form, sizeof(form), "%s", r.compressed ? "gzip" : "plain");
    }
    char node[64];
    if (r.node_partitions < 0) {
      snprintf(node, sizeof(node), "removed");
    } else if (plan.dtb_mode == dtb_mode_rebuild) {
      snprintf(node, sizeof(node), "rebuilt with %d partitions", r.node_partitions);
    } else {
      snprintf(node, sizeof(node), "kept, %d partitions", r.node_partitions);
    }
    printf("  dtb%d: %s; partitions node %s\n", copy, form, node);
  }
  return 0;
}

int print_moves(const operation_plan &plan) {
  relocation_schedule schedule;
  if (check_partition_moves(static_cast<unsigned>(plan.dtb_mode), plan.old_table, plan.new_table,
                            path_emmc_device, &schedule) != 0)
    return -1;
  puts("\nPartition moves, in the order they run:");
  if (schedule.count == 0) puts("  none");
  for (uint32_t i = 0; i < schedule.count; i++) {
    const relocation_step &step = schedule.steps[i];
    printf("  %2u. %-15s 0x%012llx -> 0x%012llx %6llu MiB%s\n", i + 1, step.name.text,
           static_cast<unsigned long long>(step.from), static_cast<unsigned long long>(step.to),
           static_cast<unsigned long long>(step.size >> 20), step.staging ? " (staging)" : "");
  }
  return 0;
}

// "  NN. TEXT", wrapped at word boundaries within 79 columns, continued
// lines indented below the text.
void print_step(uint32_t number, const char *text) {
  constexpr size_t width = 79;
  constexpr size_t indent = 6;
  printf("  %2u.", number);
  size_t column = indent - 1;
  for (const char *word = text; *word;) {
    while (*word == ' ') word++;
    const size_t length = strcspn(word, " ");
    if (length == 0) break;
    if (column > indent - 1 && column + 1 + length > width) {
      printf("\n%*s", static_cast<int>(indent - 1), "");
      column = indent - 1;
    }
    printf(" %.*s", static_cast<int>(length), word);
    column += 1 + length;
    word += length;
  }
  putchar('\n');
}

}  // namespace

void plan_table_write(operation_plan &plan, const mmc_partitions_fmt *old_table,
                      const mmc_partitions_fmt *new_table, int dtb_mode, bool moves) {
  plan.writes_emmc = true;
  plan.old_table = old_table;
  plan.new_table = new_table;
  plan.dtb_mode = dtb_mode;
  plan.moves = moves;
}

void plan_data(operation_plan &plan, const char *source, uint64_t used, const char *target,
               uint64_t room) {
  if (plan.data_count < max_plan_rows) plan.data[plan.data_count++] = {source, used, target, room};
}

void plan_emptied(operation_plan &plan, const char *folder) {
  if (plan.emptied_count < max_plan_rows) plan.emptied[plan.emptied_count++] = folder;
}

void plan_step(operation_plan &plan, const char *format, ...) {
  if (plan.step_count >= max_plan_steps) return;
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(plan.steps[plan.step_count++], plan_step_size, format, arguments);
  va_end(arguments);
}

void plan_point_of_no_return(operation_plan &plan) { plan.point_of_no_return = plan.step_count; }

int plan_snapshot(operation_plan &plan) {
  char name[320];
  if (next_snapshot_name(name, sizeof(name)) != 0) return -1;
  plan_step(plan, "save the table and both DTB copies of '%s' as '%s'", path_reserved_device, name);
  return 0;
}

int finish_dry_run(operation_run &run, const operation_plan &plan) {
  puts("");
  puts("---- Dry run: the plan; nothing has been written ----");
  puts(plan.title);
  if (plan.writes_emmc) {
    char health[160];
    describe_emmc_health(health, sizeof(health), read_emmc_health());
    printf("\neMMC health: %s\n", health);
  }
  if (plan.new_table) {
    print_tables(plan.old_table, plan.new_table);
    if (print_trees(plan) != 0) return -1;
    if (plan.moves && print_moves(plan) != 0) return -1;
  }
  if (plan.data_count > 0) puts("\nData to copy, and the room for them:");
  for (uint32_t i = 0; i < plan.data_count; i++) {
    const plan_data_row &row = plan.data[i];
    printf("  %s: %llu bytes (%llu MiB) -> %s: %llu MiB\n", row.source,
           static_cast<unsigned long long>(row.used),
           static_cast<unsigned long long>(row.used >> 20), row.target,
           static_cast<unsigned long long>(row.room >> 20));
  }
  if (plan.emptied_count > 0) puts("\nFolders a real run empties:");
  for (uint32_t i = 0; i < plan.emptied_count; i++) printf("  %s\n", plan.emptied[i]);
  puts("\nWhat a real run would do, in this order:");
  if (plan.step_count == 0) puts("  nothing");
  for (uint32_t i = 0; i < plan.step_count; i++) {
    if (i == plan.point_of_no_return) puts("  ---- the point of no return ----");
    print_step(i + 1, plan.steps[i]);
  }
  if (run.mounted && unmount_installation(run) != 0) return -1;
  puts("\nDry run: nothing was written. Run again without -n to carry it out.");
  run.succeeded = true;
  return 0;
}
