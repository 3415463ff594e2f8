/*
 * tile_dump PACKAGE TILE: prints what a package places on one tile exactly as vindle does,
 * through the C API alone: the tile's debug regions on standard error, then its segments
 * and the words of those at 0x50000 and above on standard output, read in place.
 */
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <torv_package/torv_package.h>

enum { failure = 101 };
static const uint32_t all_tiles = 0xFFFFFFFFu;
static const uint32_t first_dumped_address = 0x50000;

/* Decimal, an optional "+", at most 4294967295, as vindle takes it. */
static int parse_tile(const char* text, uint32_t* tile) {
  uint64_t value = 0;
  if (*text == '+') ++text;
  if (*text == '\0') return 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return 0;
    value = value * 10 + (uint64_t)(*text - '0');
    if (value > 0xFFFFFFFFu) return 0;
  }
  *tile = (uint32_t)value;
  return 1;
}

static void print_regions(tp_application app, uint32_t tile) {
  size_t i;
  for (i = 0; i < tp_application_debug_regions_count(app); ++i) {
    const tp_debug_region region = tp_application_debug_regions_at(app, i);
    const uint32_t on = tp_debug_region_physical_tile(region);
    const uint32_t address = tp_debug_region_address(region);
    const tp_text name = tp_debug_region_name(region);
    if (on != tile && on != all_tiles) continue;
    /* Validation keeps address + size within 32 bits. */
    fprintf(stderr, "region tile=%" PRIu32 " 0x%" PRIx32 "..0x%" PRIx32 " ", on, address,
            (uint32_t)(address + tp_debug_region_size(region)));
    fwrite(name.data, 1, name.size, stderr);
    fputc('\n', stderr);
  }
}

static void print_segments(tp_tile_image image) {
  size_t i, k;
  for (i = 0; i < tp_tile_image_segments_count(image); ++i) {
    const tp_segment segment = tp_tile_image_segments_at(image, i);
    const uint32_t address = tp_segment_address(segment);
    const tp_bytes data = tp_segment_data(segment);
    printf("segment 0x%" PRIx32 " data %zu memory %" PRIu32 "\n", address, data.size, tp_segment_memory_size(segment));
    if (address < first_dumped_address) continue;
    for (k = 0; k + 4 <= data.size; k += 4) {
      const uint32_t word = (uint32_t)data.data[k] | (uint32_t)data.data[k + 1] << 8 |
                            (uint32_t)data.data[k + 2] << 16 | (uint32_t)data.data[k + 3] << 24;
      printf("0x%06" PRIx32 " %08" PRIx32 "\n", (uint32_t)(address + k), word);
    }
  }
}

int main(int argc, char** argv) {
  tp_view* view = NULL;
  tp_error* error = NULL;
  tp_tile_image image;
  uint32_t tile = 0;
  int status = 0;
  if (argc != 3) {
    fputs("usage: tile_dump <package> <tile>\n", stderr);
    return failure;
  }
  if (!parse_tile(argv[2], &tile)) {
    fprintf(stderr, "tile_dump: invalid tile number %s\n", argv[2]);
    return failure;
  }
  if (tp_view_open(argv[1], &view, &error) != 0) {
    const char* location = tp_error_location(error);
    fprintf(stderr, "tile_dump: cannot read package %s: %s%s%s\n", argv[1], location, *location ? ": " : "",
            tp_error_message(error));
    tp_error_free(error);
    return failure;
  }
  print_regions(tp_view_application(view), tile);
  if (tp_view_tile(view, tile, &image)) {
    print_segments(image);
  } else {
    fprintf(stderr, "tile_dump: package %s has no image for tile %" PRIu32 "\n", argv[1], tile);
    status = failure;
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fputs("tile_dump: cannot write to stdout\n", stderr);
    status = failure;
  }
  tp_view_close(view);
  return status;
}
