/* The decoders of posted images, each told its limits before it starts. They
   run in the decoder process, never in the agent (see decoder_main_posix.cpp). */
#ifndef KELO_RGBA_DECODERS_H
#define KELO_RGBA_DECODERS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  uint64_t maxPixels; /* width x height, read from the header before decoding */
  uint64_t maxBytes;  /* everything the decoder allocates, the pixels included */
} KeloDecodeLimits;

typedef enum {
  KELO_DECODE_OK = 0,
  KELO_DECODE_NOT_AN_IMAGE = 1,   /* malformed, cut short, or a kind the decoder refuses */
  KELO_DECODE_TOO_MANY_PIXELS = 2,
  KELO_DECODE_OUT_OF_MEMORY = 3   /* would need more than maxBytes */
} KeloDecodeStatus;

/* Pixels as 8-bit R, G, B, A, rows top to bottom without padding; malloc'ed,
   the caller frees them. Untouched unless the status is KELO_DECODE_OK. */
typedef struct {
  uint32_t width;
  uint32_t height;
  unsigned char* rgba;
} KeloRgbaImage;

/* At most this many scans of a progressive JPEG: a real one has about ten, and
   each scan costs a pass over the whole image. */
#define KELO_MAX_JPEG_SCANS 100

KeloDecodeStatus KeloDecodePng(const unsigned char* data, size_t length, const KeloDecodeLimits* limits,
                               KeloRgbaImage* out);
KeloDecodeStatus KeloDecodeJpeg(const unsigned char* data, size_t length, const KeloDecodeLimits* limits,
                                KeloRgbaImage* out);
/* The first frame, on a canvas of the logical screen's size that is transparent
   where the frame does not reach. */
KeloDecodeStatus KeloDecodeGif(const unsigned char* data, size_t length, const KeloDecodeLimits* limits,
                               KeloRgbaImage* out);
/* Uncompressed and bit-field BMPs of 1, 4, 8, 16, 24 and 32 bits. */
KeloDecodeStatus KeloDecodeBmp(const unsigned char* data, size_t length, const KeloDecodeLimits* limits,
                               KeloRgbaImage* out);

/* Room for w x h RGBA pixels within the limits, or the status that refuses it. */
KeloDecodeStatus KeloCheckCanvas(uint64_t width, uint64_t height, const KeloDecodeLimits* limits);

#ifdef __cplusplus
}
#endif

#endif
