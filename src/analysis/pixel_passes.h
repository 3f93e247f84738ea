// Kernel choice of the pixel passes (FrameAnalyzer::invertPass,
// copyBackdropPass, blendBackdropPass). automatic takes the widest kernel the
// build and the processor offer; the others pin one so that tests can compare
// them (they all give the same bytes).
#pragma once

namespace kestra {

enum class PassKernel { automatic, scalar, sse2, avx2 };

// Pins (or with automatic, releases) the kernel; returns false, changing
// nothing, when this build or processor lacks it.
bool selectPassKernel(PassKernel kernel);

// Returns the passes' process-wide state (the kernel choice) to its start
// value.
void resetPixelPassState();

}  // namespace kestra
