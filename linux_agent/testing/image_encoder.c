/* Tests: PNG and JPEG by Debian's libpng and libjpeg-turbo, BMP and TGA by hand. */
#include "linux_agent/testing/image_encoder.h"

#include <stdio.h>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static unsigned char* Png(const unsigned char* pixels, int w, int h, int channels, int* length) {
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = (png_uint_32)w;
  image.height = (png_uint_32)h;
  image.format = channels == 1 ? PNG_FORMAT_GRAY : channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, NULL, &size, 0, pixels, 0, NULL)) return NULL;
  unsigned char* data = (unsigned char*)malloc(size);
  if (data == NULL || !png_image_write_to_memory(&image, data, &size, 0, pixels, 0, NULL)) {
    free(data);
    return NULL;
  }
  *length = (int)size;
  return data;
}

static unsigned char* Jpeg(const unsigned char* pixels, int w, int h, int channels, int progressive, int* length) {
  if (channels != 1 && channels != 3) return NULL;
  struct jpeg_compress_struct cinfo;
  struct jpeg_error_mgr errors;
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  unsigned char* data = NULL;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &data, &size);
  cinfo.image_width = (JDIMENSION)w;
  cinfo.image_height = (JDIMENSION)h;
  cinfo.input_components = channels;
  cinfo.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 100, TRUE);
  if (progressive) jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = (JSAMPROW)(pixels + (size_t)cinfo.next_scanline * w * channels);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  *length = (int)size;
  return data;
}

static void Put16(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
}
static void Put32(unsigned char* p, uint32_t v) {
  Put16(p, v & 0xffff);
  Put16(p + 2, v >> 16);
}

static unsigned char* Bmp(const unsigned char* pixels, int w, int h, int channels, int* length) {
  const size_t stride = ((size_t)w * 3 + 3) / 4 * 4;
  const size_t size = 54 + stride * (size_t)h;
  unsigned char* data = (unsigned char*)calloc(size, 1);
  if (data == NULL) return NULL;
  data[0] = 'B';
  data[1] = 'M';
  Put32(data + 2, (uint32_t)size);
  Put32(data + 10, 54);
  Put32(data + 14, 40);
  Put32(data + 18, (uint32_t)w);
  Put32(data + 22, (uint32_t)h);
  Put16(data + 26, 1);
  Put16(data + 28, 24);
  for (int y = 0; y < h; ++y) {
    unsigned char* row = data + 54 + stride * (size_t)(h - 1 - y);
    for (int x = 0; x < w; ++x) {
      const unsigned char* p = pixels + ((size_t)y * w + x) * channels;
      const unsigned char r = p[0], g = channels >= 3 ? p[1] : p[0], b = channels >= 3 ? p[2] : p[0];
      row[x * 3] = b;
      row[x * 3 + 1] = g;
      row[x * 3 + 2] = r;
    }
  }
  *length = (int)size;
  return data;
}

static unsigned char* Tga(const unsigned char* pixels, int w, int h, int channels, int* length) {
  const int depth = channels == 4 ? 4 : 3;
  const size_t size = 18 + (size_t)w * h * depth;
  unsigned char* data = (unsigned char*)calloc(size, 1);
  if (data == NULL) return NULL;
  data[2] = 2; /* uncompressed true colour */
  Put16(data + 12, (uint32_t)w);
  Put16(data + 14, (uint32_t)h);
  data[16] = (unsigned char)(depth * 8);
  data[17] = 0x20; /* top-down */
  for (size_t i = 0; i < (size_t)w * h; ++i) {
    const unsigned char* p = pixels + i * channels;
    unsigned char* q = data + 18 + i * depth;
    q[0] = channels >= 3 ? p[2] : p[0];
    q[1] = channels >= 3 ? p[1] : p[0];
    q[2] = p[0];
    if (depth == 4) q[3] = p[3];
  }
  *length = (int)size;
  return data;
}

typedef struct {
  unsigned char* data;
  size_t length;
} Buffer;

static int Append(GifFileType* gif, const GifByteType* bytes, int count) {
  Buffer* b = (Buffer*)gif->UserData;
  unsigned char* grown = (unsigned char*)realloc(b->data, b->length + (size_t)count);
  if (grown == NULL) return 0;
  memcpy(grown + b->length, bytes, (size_t)count);
  b->data = grown;
  b->length += (size_t)count;
  return count;
}

/* The rows of a frame in the order an interlaced GIF stores them. */
static int StoredRow(int index, int height, int interlaced) {
  static const int kStart[4] = {0, 4, 2, 1};
  static const int kStep[4] = {8, 8, 4, 2};
  if (!interlaced) return index;
  for (int pass = 0; pass < 4; ++pass) {
    for (int y = kStart[pass]; y < height; y += kStep[pass]) {
      if (index-- == 0) return y;
    }
  }
  return 0;
}

unsigned char* TestEncodeGif(int screenWidth, int screenHeight, const unsigned char* palette, int colours,
                             const TestGifFrame* frames, int frameCount, int* length) {
  Buffer b = {NULL, 0};
  int error = 0;
  GifFileType* gif = EGifOpen(&b, Append, &error);
  if (gif == NULL) return NULL;
  ColorMapObject* map = GifMakeMapObject(colours, (const GifColorType*)palette);
  int ok = map != NULL && EGifPutScreenDesc(gif, screenWidth, screenHeight, 8, 0, map) == GIF_OK;
  for (int f = 0; ok && f < frameCount; ++f) {
    const TestGifFrame* frame = &frames[f];
    if (frame->transparent >= 0) {
      const GifByteType control[4] = {0x01, 0, 0, (GifByteType)frame->transparent};
      ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control) == GIF_OK;
    }
    ok = ok && EGifPutImageDesc(gif, frame->left, frame->top, frame->width, frame->height,
                                frame->interlaced ? true : false, NULL) == GIF_OK;
    for (int i = 0; ok && i < frame->height; ++i) {
      const int y = StoredRow(i, frame->height, frame->interlaced);
      ok = EGifPutLine(gif, (GifPixelType*)(frame->indices + (size_t)y * frame->width), frame->width) == GIF_OK;
    }
  }
  GifFreeMapObject(map);
  if (EGifCloseFile(gif, &error) != GIF_OK) ok = 0;
  if (!ok) {
    free(b.data);
    return NULL;
  }
  *length = (int)b.length;
  return b.data;
}

unsigned char* TestEncodeImage(char format, const unsigned char* pixels, int w, int h, int channels, int* length) {
  switch (format) {
    case 'p': return Png(pixels, w, h, channels, length);
    case 'j': return Jpeg(pixels, w, h, channels, 0, length);
    case 'J': return Jpeg(pixels, w, h, channels, 1, length);
    case 'b': return Bmp(pixels, w, h, channels, length);
    case 't': return Tga(pixels, w, h, channels, length);
    default: return NULL;
  }
}
