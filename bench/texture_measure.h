// Texture conversion measured: photograph-like images made here, and the
// quality of the palettes made of them and of the images a user names.
#pragma once

#include "texture/texture_convert.h"

#include <string>
#include <vector>

// A photograph-like test image, rendered from fractal noise: 0 a landscape
// (sky, clouds, hills, grass), 1 a sunset over water (long smooth gradients,
// the hardest case for 255 colours, with sensor-like grain).
hm::RgbaImage GeneratePhoto(int kind, int width, int height);

// Prints a Markdown table: each image's size, the texture's size, and the
// PSNR of its palettised texture against the resampled source, with and
// without dithering, and which the conversion keeps. Files that do not
// decode are listed as such. Returns 0.
int TextureMode(const std::vector<std::string>& files, int maxSide);
