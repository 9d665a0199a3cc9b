// stb_image compiled with only the formats a label may come in.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// stbi_info_from_memory and stbi_load_from_memory (4 channels) of that build;
// the pixels are allocated with malloc.
int KeloStbInfo(const unsigned char* data, int length, int* w, int* h, int* channels);
unsigned char* KeloStbLoadRgba(const unsigned char* data, int length, int* w, int* h);

#ifdef __cplusplus
}
#endif
