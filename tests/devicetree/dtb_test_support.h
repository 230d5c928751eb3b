// Test helpers for the device-tree subsystem: trees made with dtc, blocks,
// gzip members and multi-DTB containers packed here independently of the
// code under test, and read back with zlib, dtc and fdtget.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "partition_table.h"

using bytes = std::vector<uint8_t>;

// A temporary folder, removed with everything in it.
struct temp_dir {
  temp_dir();
  ~temp_dir();
  std::string file(const std::string &name) const { return path + "/" + name; }
  std::string path;
};

// Runs a shell command; its standard output, or "<exit N>" when it fails.
std::string run_shell(const std::string &command);

bytes read_whole_file(const std::string &path);
void write_whole_file(const std::string &path, const bytes &content);

// dtc compiles `dts` to a flattened tree (of another layout with "-V 16").
bytes compile_dts(const std::string &dts, const std::string &options = "");
// fdtget on a tree with the given arguments (file name inserted before them).
std::string fdtget(const uint8_t *tree, const std::string &arguments);

// zlib deflate of `content`: window bits -15 give raw deflate data, 31 a
// standard gzip member.
bytes deflate_with(const bytes &content, int level, int window_bits);
// A standard gzip member of `content` (zlib, window bits 31).
bytes gzip_member(const bytes &content, int level = 9);
// Inflates a gzip member (zlib, window bits 31); empty on failure.
bytes gunzip_member(const uint8_t *member, size_t size);

// An Amlogic multi-DTB container with the trees on 2 KiB boundaries (or
// back to back when `align` is 1).
bytes container(uint32_t version, const std::vector<bytes> &trees, size_t align = 2048);
// Tree offsets of a container, read independently.
std::vector<uint32_t> container_tree_offsets(const bytes &content);

// 256 KiB blocks: content at 0, then marker and checksum (plain), or a gzip
// member of the content (compressed).
bytes plain_block(const bytes &content);
bytes compressed_block(const bytes &content);
uint32_t word_sum(const uint8_t *block);
uint32_t stored_checksum(const uint8_t *block);
// The content of a block: inflated or the block up to its marker.
bytes block_content(const bytes &block);

// bootloader, reserved, cache, env, logo, misc, boot, system, data, each
// 8 MiB behind the one before.
mmc_partitions_fmt android_table();

// A device tree with vbmeta parts `parts`, an old partitions node (when
// `with_partitions`) and a node holding phandle 7.
std::string box_dts(const std::string &model, const std::string &parts, bool with_partitions);
