#include "dtb_test_support.h"

#include "table_builder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

temp_dir::temp_dir() {
  char name[] = "/tmp/kvemmc-dtb-XXXXXX";
  if (!mkdtemp(name)) ADD_FAILURE() << "mkdtemp failed";
  path = name;
}

temp_dir::~temp_dir() { std::filesystem::remove_all(path); }

std::string run_shell(const std::string &command) {
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return "<popen failed>";
  std::string out;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, n);
  int status = pclose(pipe);
  if (status != 0) return "<exit " + std::to_string(status) + "> " + out;
  return out;
}

bytes read_whole_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  bytes content(in ? size_t(in.tellg()) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char *>(content.data()), std::streamsize(content.size()));
  return content;
}

void write_whole_file(const std::string &path, const bytes &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
}

bytes compile_dts(const std::string &dts, const std::string &options) {
  temp_dir dir;
  std::ofstream(dir.file("in.dts")) << dts;
  std::string out = run_shell("dtc -q -I dts -O dtb " + options + " -o " + dir.file("out.dtb") + " " +
                              dir.file("in.dts"));
  if (out.rfind("<exit", 0) == 0) ADD_FAILURE() << "dtc failed: " << out;
  return read_whole_file(dir.file("out.dtb"));
}

namespace {

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

void put_le32(bytes &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + i] = uint8_t(v >> (8 * i));
}

}  // namespace

std::string fdtget(const uint8_t *tree, const std::string &arguments) {
  temp_dir dir;
  write_whole_file(dir.file("t.dtb"), bytes(tree, tree + be32(tree + 4)));
  return run_shell("fdtget " + dir.file("t.dtb") + " " + arguments + " 2>&1");
}

bytes deflate_with(const bytes &content, int level, int window_bits) {
  z_stream s{};
  deflateInit2(&s, level, Z_DEFLATED, window_bits, 9, Z_DEFAULT_STRATEGY);
  bytes out(deflateBound(&s, content.size()) + 64);
  s.next_in = const_cast<uint8_t *>(content.data());
  s.avail_in = uInt(content.size());
  s.next_out = out.data();
  s.avail_out = uInt(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

bytes gzip_member(const bytes &content, int level) { return deflate_with(content, level, 31); }

bytes gunzip_member(const uint8_t *member, size_t size) {
  z_stream s{};
  inflateInit2(&s, 31);
  bytes out(8 << 20);
  s.next_in = const_cast<uint8_t *>(member);
  s.avail_in = uInt(size);
  s.next_out = out.data();
  s.avail_out = uInt(out.size());
  int result = inflate(&s, Z_FINISH);
  out.resize(result == Z_STREAM_END ? s.total_out : 0);
  inflateEnd(&s);
  return out;
}

bytes container(uint32_t version, const std::vector<bytes> &trees, size_t align) {
  size_t width = version == 1 ? 4 : version == 2 ? 16 : 0;
  size_t entry_size = 3 * width + 8;
  auto aligned = [align](size_t n) { return (n + align - 1) / align * align; };
  bytes out(aligned(12 + trees.size() * entry_size));
  memcpy(out.data(), "AML_", 4);
  put_le32(out, 4, version);
  put_le32(out, 8, uint32_t(trees.size()));
  for (size_t i = 0; i < trees.size(); i++) {
    size_t entry = 12 + i * entry_size;
    // Identification fields as vendors store them: 4-byte groups reversed.
    const char *ids[3] = {"b21g", "0dtf", "2u0g"};
    for (size_t f = 0; f < 3; f++)
      for (size_t k = 0; k < width; k += 4) memcpy(&out[entry + f * width + k], ids[f], 4);
    put_le32(out, entry + 3 * width, uint32_t(out.size()));
    put_le32(out, entry + 3 * width + 4, uint32_t(trees[i].size()));
    out.insert(out.end(), trees[i].begin(), trees[i].end());
    out.resize(aligned(out.size()));
  }
  return out;
}

std::vector<uint32_t> container_tree_offsets(const bytes &content) {
  uint32_t version = le32(&content[4]);
  size_t width = version == 1 ? 4 : version == 2 ? 16 : 0;
  std::vector<uint32_t> offsets;
  for (uint32_t i = 0; i < le32(&content[8]); i++)
    offsets.push_back(le32(&content[12 + i * (3 * width + 8) + 3 * width]));
  return offsets;
}

uint32_t word_sum(const uint8_t *block) {
  uint32_t sum = 0;
  for (size_t i = 0; i < 0x3FFFC; i += 4) sum += le32(block + i);
  return sum;
}

uint32_t stored_checksum(const uint8_t *block) { return le32(block + 0x3FFFC); }

bytes plain_block(const bytes &content) {
  bytes block(0x40000);
  memcpy(block.data(), content.data(), content.size());
  memcpy(&block[0x3FFF0], "A~D", 4);
  put_le32(block, 0x3FFFC, word_sum(block.data()));
  return block;
}

bytes compressed_block(const bytes &content) {
  bytes block(0x40000);
  bytes member = gzip_member(content);
  memcpy(block.data(), member.data(), member.size());
  put_le32(block, 0x3FFFC, word_sum(block.data()));
  return block;
}

bytes block_content(const bytes &block) {
  if (block[0] == 0x1f && block[1] == 0x8b) return gunzip_member(block.data(), block.size());
  return bytes(block.begin(), block.begin() + 0x3FFF0);
}

mmc_partitions_fmt android_table() {
  constexpr uint64_t mib = 1 << 20;
  std::vector<test_partition> partitions = {
      {"bootloader", 4 * mib, 0, 0}, {"reserved", 64 * mib, 0, 0}, {"cache", 1120 * mib, 0, 2},
      {"env", 8 * mib, 0, 0},        {"logo", 8 * mib, 0, 1},      {"misc", 8 * mib, 0, 1},
      {"boot", 16 * mib, 0, 1},      {"system", 1856 * mib, 0, 1}, {"data", 4096 * mib, 0, 0x11}};
  for (size_t i = 1; i < partitions.size(); i++)
    partitions[i].offset = partitions[i - 1].offset + partitions[i - 1].size + 8 * mib;
  return make_table(partitions);
}

std::string box_dts(const std::string &model, const std::string &parts, bool with_partitions) {
  std::string dts = "/dts-v1/;\n/ {\n  model = \"" + model +
                    "\";\n  compatible = \"amlogic, g12b\";\n"
                    "  firmware { android { vbmeta { parts = \"" + parts + "\"; }; }; };\n";
  if (with_partitions)
    dts += "  partitions { parts = <2>; part-0 = <0x20>; part-1 = <0x21>;\n"
           "    oldboot { pname = \"oldboot\"; size = <0 0x100000>; mask = <1>; phandle = <0x20>; };\n"
           "    olddata { pname = \"olddata\"; size = <0xffffffff 0xffffffff>; mask = <4>;\n"
           "      leftover = \"x\"; phandle = <0x21>; sub { }; };\n  };\n";
  dts += "  soc { gic: interrupt-controller { phandle = <7>; }; serial { interrupt-parent = <&gic>; }; };\n};\n";
  return dts;
}
