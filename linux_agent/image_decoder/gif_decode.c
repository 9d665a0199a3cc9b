/* GIF through giflib, record by record: only the first frame is read, so a file
   of many frames costs no more than its first. */
#include "linux_agent/image_decoder/rgba_decoders.h"

#include <gif_lib.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
  const unsigned char* data;
  size_t length;
  size_t offset;
} GifSource;

static int ReadBytes(GifFileType* gif, GifByteType* out, int count) {
  GifSource* source = (GifSource*)gif->UserData;
  size_t n = count < 0 ? 0 : (size_t)count;
  if (n > source->length - source->offset) n = source->length - source->offset;
  memcpy(out, source->data + source->offset, n);
  source->offset += n;
  return (int)n;
}

/* Skips an extension's blocks; the transparent index from a graphic control
   extension, which applies to the frame that follows. */
static int ReadExtension(GifFileType* gif, int* transparent) {
  int code = 0;
  GifByteType* block = NULL;
  if (DGifGetExtension(gif, &code, &block) != GIF_OK) return 0;
  if (code == GRAPHICS_EXT_FUNC_CODE && block != NULL && block[0] >= 4) {
    *transparent = (block[1] & 0x01) ? block[4] : -1;
  }
  while (block != NULL) {
    if (DGifGetExtensionNext(gif, &block) != GIF_OK) return 0;
  }
  return 1;
}

/* The frame's rows in file order: interlaced frames come in four passes. */
static int RowOf(int index, int height, int interlaced) {
  if (!interlaced) return index;
  static const int kStart[4] = {0, 4, 2, 1};
  static const int kStep[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    const int rows = kStart[pass] >= height ? 0 : (height - kStart[pass] + kStep[pass] - 1) / kStep[pass];
    if (index < rows) return kStart[pass] + index * kStep[pass];
    index -= rows;
  }
  return -1;
}

static KeloDecodeStatus ReadFirstFrame(GifFileType* gif, const KeloDecodeLimits* limits, KeloRgbaImage* out) {
  const uint32_t width = gif->SWidth > 0 ? (uint32_t)gif->SWidth : 0;
  const uint32_t height = gif->SHeight > 0 ? (uint32_t)gif->SHeight : 0;
  KeloDecodeStatus status = KeloCheckCanvas(width, height, limits);
  if (status != KELO_DECODE_OK) return status;
  int transparent = -1;
  for (;;) {
    GifRecordType record;
    if (DGifGetRecordType(gif, &record) != GIF_OK) return KELO_DECODE_NOT_AN_IMAGE;
    if (record == EXTENSION_RECORD_TYPE) {
      if (!ReadExtension(gif, &transparent)) return KELO_DECODE_NOT_AN_IMAGE;
      continue;
    }
    if (record != IMAGE_DESC_RECORD_TYPE) return KELO_DECODE_NOT_AN_IMAGE; /* ends before any frame */
    break;
  }
  if (DGifGetImageDesc(gif) != GIF_OK) return KELO_DECODE_NOT_AN_IMAGE;
  const GifImageDesc* frame = &gif->Image;
  const ColorMapObject* colours = frame->ColorMap != NULL ? frame->ColorMap : gif->SColorMap;
  if (colours == NULL || frame->Width <= 0 || frame->Height <= 0) return KELO_DECODE_NOT_AN_IMAGE;

  /* The canvas, and one row of the frame, which may be wider than the canvas. */
  const uint64_t canvasBytes = (uint64_t)width * height * 4;
  if ((uint64_t)frame->Width > limits->maxBytes - canvasBytes) return KELO_DECODE_OUT_OF_MEMORY;
  unsigned char* pixels = (unsigned char*)calloc((size_t)canvasBytes, 1);
  GifPixelType* line = (GifPixelType*)malloc((size_t)frame->Width);
  if (pixels == NULL || line == NULL) {
    free(pixels);
    free(line);
    return KELO_DECODE_OUT_OF_MEMORY;
  }
  for (int i = 0; i < frame->Height; ++i) {
    if (DGifGetLine(gif, line, frame->Width) != GIF_OK) {
      free(pixels);
      free(line);
      return KELO_DECODE_NOT_AN_IMAGE;
    }
    const int64_t y = (int64_t)frame->Top + RowOf(i, frame->Height, frame->Interlace);
    if (y < 0 || y >= height) continue;
    for (int x = 0; x < frame->Width; ++x) {
      const int64_t cx = (int64_t)frame->Left + x;
      const int index = line[x];
      /* Indices past the palette are left transparent, like the transparent one. */
      if (cx >= width || index == transparent || index >= colours->ColorCount) continue;
      unsigned char* p = pixels + ((size_t)y * width + (size_t)cx) * 4;
      p[0] = colours->Colors[index].Red;
      p[1] = colours->Colors[index].Green;
      p[2] = colours->Colors[index].Blue;
      p[3] = 255;
    }
  }
  free(line);
  out->width = width;
  out->height = height;
  out->rgba = pixels;
  return KELO_DECODE_OK;
}

KeloDecodeStatus KeloDecodeGif(const unsigned char* data, size_t length, const KeloDecodeLimits* limits,
                               KeloRgbaImage* out) {
  GifSource source = {data, length, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&source, ReadBytes, &error);
  if (gif == NULL) return error == D_GIF_ERR_NOT_ENOUGH_MEM ? KELO_DECODE_OUT_OF_MEMORY : KELO_DECODE_NOT_AN_IMAGE;
  const KeloDecodeStatus status = ReadFirstFrame(gif, limits, out);
  DGifCloseFile(gif, &error);
  return status;
}
