/* PNG through libpng's progressive reader. Every allocation libpng makes is
   counted against the byte bound. The data is fed in pieces and feeding stops at
   the last row: compressed data that inflates to more than the header's rows is
   never inflated beyond them (libpng's sequential reader would inflate all of
   it, 1 GiB from a 1 MB file, before it ends). */
#include "linux_agent/image_decoder/rgba_decoders.h"

#include <png.h>
#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
  const KeloDecodeLimits* limits;
  uint64_t maxBytes;
  uint64_t used;
  int refused; /* an allocation went over the bound */
  KeloDecodeStatus status;
  uint32_t width;
  uint32_t height;
  int lastPass;
  unsigned char* pixels;
  int done; /* the last row of the last pass has arrived */
} PngState;

/* Each block carries its size in front, so that freeing gives the room back. */
typedef union {
  uint64_t size;
  max_align_t align;
} BlockHeader;

static png_voidp CountedMalloc(png_structp png, png_alloc_size_t size) {
  PngState* state = (PngState*)png_get_mem_ptr(png);
  const uint64_t whole = (uint64_t)size + sizeof(BlockHeader);
  if (whole < size || whole > state->maxBytes - state->used) {
    state->refused = 1;
    return NULL;
  }
  BlockHeader* block = (BlockHeader*)malloc((size_t)whole);
  if (block == NULL) {
    state->refused = 1;
    return NULL;
  }
  block->size = whole;
  state->used += whole;
  return block + 1;
}

static void CountedFree(png_structp png, png_voidp p) {
  if (p == NULL) return;
  PngState* state = (PngState*)png_get_mem_ptr(png);
  BlockHeader* block = (BlockHeader*)p - 1;
  state->used -= block->size;
  free(block);
}

/* Quiet: the decoder process has nobody to tell. */
static void Fail(png_structp png, png_const_charp message) {
  (void)message;
  png_longjmp(png, 1);
}
static void Ignore(png_structp png, png_const_charp message) {
  (void)png;
  (void)message;
}

/* Takes room for the bitmap from the bound; the bitmap is plain malloc'ed, as
   the caller frees it. */
static unsigned char* AllocatePixels(png_structp png, PngState* state, uint64_t bytes) {
  if (bytes > state->maxBytes - state->used) {
    state->refused = 1;
    png_error(png, "over the byte bound");
  }
  unsigned char* pixels = (unsigned char*)malloc((size_t)bytes);
  if (pixels == NULL) {
    state->refused = 1;
    png_error(png, "no memory");
  }
  state->used += bytes;
  return pixels;
}

static void OnInfo(png_structp png, png_infop info) {
  PngState* state = (PngState*)png_get_progressive_ptr(png);
  state->width = png_get_image_width(png, info);
  state->height = png_get_image_height(png, info);
  state->status = KeloCheckCanvas(state->width, state->height, state->limits);
  if (state->status != KELO_DECODE_OK) png_error(png, "refused by its header");
  state->status = KELO_DECODE_NOT_AN_IMAGE;
  /* Eight-bit RGBA whatever the file holds; no gamma or colour management,
     the pixel values as written. */
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
  state->lastPass = png_set_interlace_handling(png) - 1;
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != (size_t)state->width * 4) png_error(png, "unexpected row size");
  /* Interlaced rows are combined into what earlier passes left: start from zero. */
  state->pixels = AllocatePixels(png, state, (uint64_t)state->width * state->height * 4);
  memset(state->pixels, 0, (size_t)state->width * state->height * 4);
}

static void OnRow(png_structp png, png_bytep row, png_uint_32 number, int pass) {
  PngState* state = (PngState*)png_get_progressive_ptr(png);
  if (number >= state->height || state->pixels == NULL) png_error(png, "a row past the image");
  png_progressive_combine_row(png, state->pixels + (size_t)number * state->width * 4, row);
  if (pass == state->lastPass && number == state->height - 1) state->done = 1;
}

/* Feeds the data until the last row; the state lives in the caller's frame, out
   of reach of the longjmp's indeterminate locals. */
static int Feed(png_structp png, png_infop info, PngState* state, const unsigned char* data, size_t length) {
  volatile size_t offset = 0;
  if (setjmp(png_jmpbuf(png))) return 0;
  /* Text, palettes and other ancillary chunks are kept by libpng: a few, small. */
  png_set_chunk_cache_max(png, 64);
  png_set_chunk_malloc_max(png, 1u << 20);
  png_set_progressive_read_fn(png, state, OnInfo, OnRow, NULL);
  while (!state->done && offset < length) {
    const size_t piece = length - offset < 4096 ? length - offset : 4096;
    png_process_data(png, info, (png_bytep)(data + offset), piece);
    offset += piece;
  }
  return state->done;
}

KeloDecodeStatus KeloDecodePng(const unsigned char* data, size_t length, const KeloDecodeLimits* limits,
                               KeloRgbaImage* out) {
  PngState state;
  memset(&state, 0, sizeof state);
  state.limits = limits;
  state.maxBytes = limits->maxBytes;
  state.status = KELO_DECODE_NOT_AN_IMAGE;
  png_structp png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, NULL, Fail, Ignore, &state, CountedMalloc,
                                             CountedFree);
  if (png == NULL) return KELO_DECODE_OUT_OF_MEMORY;
  png_infop info = png_create_info_struct(png);
  if (info == NULL) {
    png_destroy_read_struct(&png, NULL, NULL);
    return KELO_DECODE_OUT_OF_MEMORY;
  }
  const int complete = Feed(png, info, &state, data, length);
  png_destroy_read_struct(&png, &info, NULL);
  if (!complete) {
    free(state.pixels);
    /* Cut short before the last row, malformed, or refused. */
    return state.refused ? KELO_DECODE_OUT_OF_MEMORY : state.status;
  }
  out->width = state.width;
  out->height = state.height;
  out->rgba = state.pixels;
  return KELO_DECODE_OK;
}
