// The wear the eMMC reports of itself; see operation_steps.h.
#include <cstdio>

#include "kvemmc.h"
#include "operation_steps.h"

namespace {

// `count` "0xNN" values, one space apart, a newline after them allowed;
// false (and zeros) for anything else.
bool read_hex_values(const char *path, unsigned *values, int count) {
  for (int i = 0; i < count; i++) values[i] = 0;
  owned_file file(fopen(path, "r"));
  if (!file) return false;
  char text[64] = {};
  const size_t length = fread(text, 1, sizeof(text) - 1, file.get());
  unsigned parsed[2] = {};
  const char *p = text;
  for (int i = 0; i < count; i++) {
    if (i > 0 && *p++ != ' ') return false;
    if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X')) return false;
    unsigned value = 0;
    int digits = 0;
    for (p += 2; digits < 2; p++, digits++) {
      const char c = *p;
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    parsed[i] = value;
  }
  if (*p == '\n') p++;
  if (static_cast<size_t>(p - text) != length) return false;
  for (int i = 0; i < count; i++) values[i] = parsed[i];
  return true;
}

const char *life_text(unsigned estimate) {
  static const char *const texts[] = {"not reported", "0-10 %",  "10-20 %", "20-30 %",
                                      "30-40 %",      "40-50 %", "50-60 %", "60-70 %",
                                      "70-80 %",      "80-90 %", "90-100 %", "exceeded"};
  return estimate < sizeof(texts) / sizeof(texts[0]) ? texts[estimate] : "not reported";
}

}  // namespace

emmc_health read_emmc_health(const char *device_folder) {
  emmc_health health;
  char path[256];
  unsigned values[2];
  snprintf(path, sizeof(path), "%s/pre_eol_info", device_folder);
  if (read_hex_values(path, values, 1) && values[0] >= 1 && values[0] <= 3) {
    health.pre_eol = values[0];
  }
  snprintf(path, sizeof(path), "%s/life_time", device_folder);
  if (read_hex_values(path, values, 2)) {
    if (values[0] >= 1 && values[0] <= 11) health.life_a = values[0];
    if (values[1] >= 1 && values[1] <= 11) health.life_b = values[1];
  }
  return health;
}

void describe_emmc_health(char *text, size_t size, const emmc_health &health) {
  static const char *const pre_eol_texts[] = {"not reported", "normal",
                                              "warning: 80 % of its reserved blocks used",
                                              "urgent: 90 % of its reserved blocks used"};
  snprintf(text, size, "pre-EOL information: %s; life used: type A %s, type B %s",
           pre_eol_texts[health.pre_eol < 4 ? health.pre_eol : 0], life_text(health.life_a),
           life_text(health.life_b));
}

void warn_if_emmc_worn() {
  const emmc_health health = read_emmc_health();
  const bool worn = health.pre_eol >= 2 || health.life_a >= 10 || health.life_b >= 10;
  if (!worn) return;
  char text[160];
  describe_emmc_health(text, sizeof(text), health);
  printf("\nWarning! The eMMC reports that it is worn: %s.\nA worn eMMC may fail while it is "
         "written or soon after: think of a backup first!\n",
         text);
}
