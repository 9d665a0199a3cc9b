// Tests: images encoded in memory, to feed the decoders.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Encodes w x h pixels of `channels` bytes each (1 grey, 3 RGB, 4 RGBA) into a
// malloc'ed buffer; format 'p' PNG (libpng), 'j' baseline JPEG and 'J'
// progressive JPEG (libjpeg-turbo, quality 100, grey or RGB), 'b' BMP (24 bits,
// bottom-up), 't' TGA (uncompressed, 24 or 32 bits). Null on failure.
unsigned char* TestEncodeImage(char format, const unsigned char* pixels, int w, int h, int channels, int* length);

// One frame of a GIF: palette indices, row after row, placed on the screen.
typedef struct {
  int left, top, width, height;
  int interlaced;
  int transparent; /* the transparent index, -1 for none */
  const unsigned char* indices;
} TestGifFrame;

// A GIF (giflib) of a screen with one global palette of `colours` RGB triples
// (a power of two, 2 to 256) and the frames in order. Null on failure.
unsigned char* TestEncodeGif(int screenWidth, int screenHeight, const unsigned char* palette, int colours,
                             const TestGifFrame* frames, int frameCount, int* length);

#ifdef __cplusplus
}
#endif
