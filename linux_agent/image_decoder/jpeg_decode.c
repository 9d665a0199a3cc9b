/* JPEG through libjpeg-turbo. Its memory manager is told the byte bound: the
   coefficient buffers of a progressive JPEG that would exceed it make the
   decoder stop (this build has no backing store to spill to). A progress
   monitor stops files with more scans than any real JPEG has. */
#include "linux_agent/image_decoder/rgba_decoders.h"

#include <stdio.h> /* jpeglib.h needs FILE */

#include <jerror.h>
#include <jpeglib.h>
#include <setjmp.h>
#include <stdlib.h>

typedef struct {
  struct jpeg_error_mgr base;
  jmp_buf jump;
} JpegErrors;

static void Fail(j_common_ptr cinfo) { longjmp(((JpegErrors*)cinfo->err)->jump, 1); }
/* Quiet: warnings about corrupt data are many, and the process has nobody to tell. */
static void Quiet(j_common_ptr cinfo, int level) {
  (void)cinfo;
  (void)level;
}
static void NoOutput(j_common_ptr cinfo) { (void)cinfo; }

static void CountScans(j_common_ptr cinfo) {
  if (cinfo->is_decompressor && ((j_decompress_ptr)cinfo)->input_scan_number > KELO_MAX_JPEG_SCANS) {
    Fail(cinfo);
  }
}

KeloDecodeStatus KeloDecodeJpeg(const unsigned char* data, size_t length, const KeloDecodeLimits* limits,
                                KeloRgbaImage* out) {
  struct jpeg_decompress_struct cinfo;
  JpegErrors errors;
  struct jpeg_progress_mgr progress;
  unsigned char* volatile pixels = NULL;
  unsigned char* volatile cmyk = NULL;
  volatile KeloDecodeStatus status = KELO_DECODE_NOT_AN_IMAGE;
  if ((unsigned long)length != length) return KELO_DECODE_NOT_AN_IMAGE;

  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = Fail;
  errors.base.emit_message = Quiet;
  errors.base.output_message = NoOutput;
  if (setjmp(errors.jump)) {
    /* The memory manager refuses what is over the bound with one of these. */
    if (errors.base.msg_code == JERR_OUT_OF_MEMORY || errors.base.msg_code == JERR_NO_BACKING_STORE ||
        errors.base.msg_code == JERR_BAD_ALLOC_CHUNK) {
      status = KELO_DECODE_OUT_OF_MEMORY;
    }
    free(pixels);
    free(cmyk);
    jpeg_destroy_decompress(&cinfo);
    return status;
  }
  jpeg_create_decompress(&cinfo);
  progress.progress_monitor = CountScans;
  cinfo.progress = &progress;
  jpeg_mem_src(&cinfo, data, (unsigned long)length);
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) Fail((j_common_ptr)&cinfo);

  status = KeloCheckCanvas(cinfo.image_width, cinfo.image_height, limits);
  if (status != KELO_DECODE_OK) {
    jpeg_destroy_decompress(&cinfo);
    return status;
  }
  status = KELO_DECODE_NOT_AN_IMAGE;
  const uint32_t width = cinfo.image_width;
  const uint32_t height = cinfo.image_height;
  const uint64_t pixelBytes = (uint64_t)width * height * 4;
  /* CMYK (as Adobe writes it, inverted) is turned into RGB here; everything else
     libjpeg-turbo converts to RGBA itself. */
  const int fromCmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = fromCmyk ? JCS_CMYK : JCS_EXT_RGBA;
  /* What the memory manager may take beside the pixels and a CMYK row. */
  const uint64_t rowBytes = fromCmyk ? (uint64_t)width * 4 : 0;
  if (pixelBytes + rowBytes >= limits->maxBytes) {
    jpeg_destroy_decompress(&cinfo);
    return KELO_DECODE_OUT_OF_MEMORY;
  }
  const uint64_t rest = limits->maxBytes - pixelBytes - rowBytes;
  cinfo.mem->max_memory_to_use = rest > 0x7fffffffu ? 0x7fffffffL : (long)rest;

  jpeg_start_decompress(&cinfo);
  if (cinfo.output_width != width || cinfo.output_height != height || cinfo.output_components != 4) {
    Fail((j_common_ptr)&cinfo);
  }
  pixels = (unsigned char*)malloc((size_t)pixelBytes);
  if (fromCmyk) cmyk = (unsigned char*)malloc((size_t)rowBytes);
  if (pixels == NULL || (fromCmyk && cmyk == NULL)) {
    errors.base.msg_code = JERR_OUT_OF_MEMORY;
    Fail((j_common_ptr)&cinfo);
  }
  while (cinfo.output_scanline < height) {
    unsigned char* row = pixels + (size_t)cinfo.output_scanline * width * 4;
    JSAMPROW target = fromCmyk ? cmyk : row;
    if (jpeg_read_scanlines(&cinfo, &target, 1) != 1) Fail((j_common_ptr)&cinfo);
    if (fromCmyk) {
      for (uint32_t x = 0; x < width; ++x) {
        const unsigned k = cmyk[x * 4 + 3];
        for (int c = 0; c < 3; ++c) row[x * 4 + c] = (unsigned char)((cmyk[x * 4 + c] * k + 127) / 255);
        row[x * 4 + 3] = 255;
      }
    }
  }
  /* What follows the last row is not read. */
  free(cmyk);
  jpeg_destroy_decompress(&cinfo);
  out->width = width;
  out->height = height;
  out->rgba = pixels;
  return KELO_DECODE_OK;
}
