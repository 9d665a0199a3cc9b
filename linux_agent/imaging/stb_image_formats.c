/* The decoder of Debian's libstb-dev, compiled here with only PNG, JPEG, GIF and
   BMP: the other formats of stb_image are not reachable from a posted image. */
#include "linux_agent/imaging/stb_image_formats.h"

#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_GIF
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_MAX_DIMENSIONS (1 << 16)
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

int KeloStbInfo(const unsigned char* data, int length, int* w, int* h, int* channels) {
  return stbi_info_from_memory(data, length, w, h, channels);
}

unsigned char* KeloStbLoadRgba(const unsigned char* data, int length, int* w, int* h) {
  int channels = 0;
  return stbi_load_from_memory(data, length, w, h, &channels, 4);
}
