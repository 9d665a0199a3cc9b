/* Tests: stb_image_write from Debian's libstb-dev, in memory. */
#include "linux_agent/testing/image_encoder.h"

#include <stdlib.h>
#include <string.h>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

typedef struct {
  unsigned char* data;
  int length;
  int failed;
} Buffer;

static void Append(void* context, void* data, int size) {
  Buffer* b = (Buffer*)context;
  unsigned char* grown = (unsigned char*)realloc(b->data, (size_t)b->length + (size_t)size);
  if (grown == NULL) {
    b->failed = 1;
    return;
  }
  memcpy(grown + b->length, data, (size_t)size);
  b->data = grown;
  b->length += size;
}

unsigned char* TestEncodeImage(char format, const unsigned char* pixels, int w, int h, int channels, int* length) {
  Buffer b = {NULL, 0, 0};
  int ok = 0;
  switch (format) {
    case 'p': ok = stbi_write_png_to_func(Append, &b, w, h, channels, pixels, w * channels); break;
    case 'b': ok = stbi_write_bmp_to_func(Append, &b, w, h, channels, pixels); break;
    case 'j': ok = stbi_write_jpg_to_func(Append, &b, w, h, channels, pixels, 100); break;
    case 't': ok = stbi_write_tga_to_func(Append, &b, w, h, channels, pixels); break;
    default: break;
  }
  if (!ok || b.failed) {
    free(b.data);
    return NULL;
  }
  *length = b.length;
  return b.data;
}
