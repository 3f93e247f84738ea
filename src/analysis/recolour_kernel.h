// Kernel choice of foreground recolouring (FrameAnalyzer::recolourForeground
// and recolourBand). automatic takes the vector walk where the build has one;
// scalar pins the plain walk so that tests can compare the two (they give the
// same bytes, masks and run colour).
#pragma once

namespace kestra {

enum class RecolourKernel { automatic, scalar, sse2 };

// Pins (or with automatic, releases) the kernel; returns false, changing
// nothing, when this build lacks it.
bool selectRecolourKernel(RecolourKernel kernel);

// Returns the kernel choice to its start value.
void resetRecolourState();

}  // namespace kestra
