// Tests: images encoded in memory (stb_image_write), to feed the decoder.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Encodes w x h pixels of `channels` bytes each into a malloc'ed buffer; format
// 'p' PNG, 'b' BMP, 'j' JPEG (quality 100), 't' TGA. Null on failure.
unsigned char* TestEncodeImage(char format, const unsigned char* pixels, int w, int h, int channels, int* length);

#ifdef __cplusplus
}
#endif
