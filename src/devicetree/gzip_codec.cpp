// gzip members of compressed DTB blocks: our own header parsing, then raw
// inflate; deflate with zlib's gzip wrapper when a block is written back.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "devicetree.h"

namespace {

constexpr uint8_t gzip_method_deflate = 8;
constexpr uint8_t gzip_flag_header_crc = 0x02;
constexpr uint8_t gzip_flag_extra = 0x04;
constexpr uint8_t gzip_flag_name = 0x08;
constexpr uint8_t gzip_flag_comment = 0x10;
constexpr uint8_t gzip_flags_reserved = 0xE0;
constexpr uint64_t gzip_fixed_header_size = 10;

constexpr int deflate_level_fastest = 1;
constexpr int deflate_window_bits_gzip = 30;  // 16 KiB window, gzip wrapper
constexpr int deflate_memory_level = 8;
constexpr int inflate_window_bits_raw = -15;
constexpr uint64_t deflate_step = 512;

// Skips a NUL-terminated header string starting at `position`, its NUL
// included; never reads at or past `end`.
uint64_t skip_header_string(const uint8_t *source, uint64_t position, uint64_t end) {
  while (position < end && source[position] != 0) position++;
  return position + 1;
}

// Length of the gzip header, or 0 when the source ends inside it.
uint64_t gzip_header_length(const uint8_t *source, uint64_t source_length) {
  uint8_t flags = source[3];
  uint64_t length = gzip_fixed_header_size;
  if (flags & gzip_flag_extra) {
    if (source_length < gzip_fixed_header_size + 2) return 0;
    length = gzip_fixed_header_size + 2 + (source[10] | static_cast<uint64_t>(source[11]) << 8);
  }
  if (flags & gzip_flag_name) length = skip_header_string(source, length, source_length);
  if (flags & gzip_flag_comment) length = skip_header_string(source, length, source_length);
  if (flags & gzip_flag_header_crc) length += 2;
  return length < source_length ? length : 0;
}

void prepare_stream(z_stream &stream) {
  stream.zalloc = zlib_alloc;
  stream.zfree = zlib_free;
  stream.opaque = nullptr;
}

}  // namespace

void *zlib_alloc(void * /*opaque*/, unsigned items, unsigned size) {
  uint64_t bytes = static_cast<uint64_t>(items) * size;
  uint64_t rounded = (bytes + 15) & ~static_cast<uint64_t>(15);
  if (rounded == 0 || rounded > SIZE_MAX) return nullptr;
  return malloc(static_cast<size_t>(rounded));
}

void zlib_free(void * /*opaque*/, void *pointer) { free(pointer); }

int gunzip(uint8_t *destination, uint64_t destination_size, const uint8_t *source,
           uint64_t *length) {
  uint64_t source_length = *length;
  // zlib counts in 32 bits; blocks and the inflate buffer are far smaller.
  if (source_length > UINT32_MAX || destination_size > UINT32_MAX) {
    puts("Error: gunzip buffers larger than 4 GiB");
    return -1;
  }
  if (source_length < 4) {
    puts("Error: gunzip out of data in header\n");
    return -1;
  }
  if (source[2] != gzip_method_deflate || (source[3] & gzip_flags_reserved) != 0) {
    puts("Error: Bad gzipped data\n");
    return -1;
  }
  uint64_t header_length = gzip_header_length(source, source_length);
  if (header_length == 0) {
    puts("Error: gunzip out of data in header\n");
    return -1;
  }

  z_stream stream{};
  prepare_stream(stream);
  int result = inflateInit2(&stream, inflate_window_bits_raw);
  if (result != Z_OK) {
    printf("Error: inflateInit2() returned %d\n", result);
    return -1;
  }
  stream.next_in = const_cast<Bytef *>(source + header_length);  // zlib only reads it
  stream.avail_in = static_cast<uInt>(source_length - header_length);
  stream.next_out = destination;
  stream.avail_out = static_cast<uInt>(destination_size);
  result = inflate(&stream, Z_FINISH);
  if (result != Z_STREAM_END) {
    printf("Error: inflate() returned %d\n", result);
    inflateEnd(&stream);
    return -1;
  }
  *length = stream.total_out;
  inflateEnd(&stream);
  return 0;
}

int gzip(uint8_t *destination, uint64_t *length, const uint8_t *source, uint64_t source_length) {
  uint64_t room = *length;
  if (source_length == 0) {
    *length = 0;
    return 0;
  }
  // zlib counts in 32 bits; the content of a block is far smaller.
  if (source_length > UINT32_MAX) {
    puts("Error: gzip source larger than 4 GiB");
    return -1;
  }

  z_stream stream{};
  prepare_stream(stream);
  int result = deflateInit2(&stream, deflate_level_fastest, Z_DEFLATED, deflate_window_bits_gzip,
                            deflate_memory_level, Z_DEFAULT_STRATEGY);
  if (result != Z_OK) {
    printf("Error: deflateInit2_() returned %d\n", result);
    return -1;
  }

  uint64_t consumed = 0;
  uint64_t written = 0;
  int status = 0;
  while (status == 0 && consumed < source_length) {
    uint64_t left = source_length - consumed;
    uint64_t chunk = std::min(deflate_step, left);
    int flush = left <= deflate_step ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = const_cast<Bytef *>(source + consumed);  // zlib only reads it
    stream.avail_in = static_cast<uInt>(chunk);
    do {
      uint64_t window = std::min(deflate_step, room);
      stream.next_out = destination + written;
      stream.avail_out = static_cast<uInt>(window);
      result = deflate(&stream, flush);
      if (result == Z_STREAM_ERROR) {
        printf("Error: deflate() returned %d\n", result);
        status = -1;
        break;
      }
      uint64_t produced = window - stream.avail_out;
      written += produced;
      room -= produced;
    } while (stream.avail_out == 0 && room > 0);
    if (status != 0) break;
    if (stream.avail_in != 0) {
      printf("Deflate failed to consume %u bytes\n", stream.avail_in);
      status = -1;
    } else if (room == 0) {
      // `left` is at most 4 GiB - 1 (checked above), so it fits the text.
      printf("Deflate need more space to compress left %lu bytes\n",
             static_cast<unsigned long>(left));
      status = -1;
    }
    consumed += chunk;
  }
  // With Z_FINISH and output room left, deflate has ended the stream; check
  // rather than trust it, since a member without its end is unreadable.
  if (status == 0 && result != Z_STREAM_END) {
    printf("Error: deflate() returned %d\n", result);
    status = -1;
  }
  deflateEnd(&stream);
  *length = written;
  return status;
}
