// Images made at test time with FreeImage, so no binary fixtures are needed.
#pragma once

#include <FreeImage.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "ie/favorites/IconManager.h"

namespace tarvex::testing {

// A `width` x `height` image with a colour gradient, saved in `format`.
inline std::string MakeImage(FREE_IMAGE_FORMAT format, int width, int height) {
  FIBITMAP* dib = FreeImage_Allocate(width, height, 24);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      RGBQUAD c{static_cast<BYTE>(x * 7), static_cast<BYTE>(y * 5), static_cast<BYTE>(x + y), 0};
      FreeImage_SetPixelColor(dib, x, y, &c);
    }
  }
  if (format == FIF_GIF) {
    FIBITMAP* quantized = FreeImage_ColorQuantize(dib, FIQ_WUQUANT);
    FreeImage_Unload(dib);
    dib = quantized;
  }
  FIMEMORY* mem = FreeImage_OpenMemory(nullptr, 0);
  EXPECT_TRUE(FreeImage_SaveToMemory(format, dib, mem, 0));
  BYTE* data = nullptr;
  DWORD size = 0;
  FreeImage_AcquireMemory(mem, &data, &size);
  std::string bytes(reinterpret_cast<const char*>(data), size);
  FreeImage_CloseMemory(mem);
  FreeImage_Unload(dib);
  return bytes;
}

inline std::string Padded(std::string base64) {
  while (base64.size() % 4) base64 += '=';
  return base64;
}

inline std::string DataUriOf(std::string_view mediaType, std::string_view bytes) {
  return "data:" + std::string(mediaType) + ";base64," + Padded(Base64Encode(bytes));
}

}  // namespace tarvex::testing
