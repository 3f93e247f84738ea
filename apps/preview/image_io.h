// PNG files and small image operations of the preview tool: writing what the
// simulated desktop shows, reading a user's screenshot, scaling stages down
// for the contact sheet.
#pragma once

#include <string>

#include "platform/sim/desktop.h"

namespace kestra::preview {

// Writes a BGRA image as an RGB PNG. Returns false when the file could not be
// written.
bool writePng(const std::string& path, const sim::Image& image);

// Reads a PNG (any colour type stb_image understands) into an opaque BGRA
// image. Returns false and sets error (naming the file) when it cannot.
bool readPng(const std::string& path, sim::Image& image, std::string& error);

// Box-filtered reduction to width x height (each output pixel averages the
// source pixels it covers).
sim::Image scaleDown(const sim::Image& source, int width, int height);

}  // namespace kestra::preview
