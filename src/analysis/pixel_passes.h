// Kernel choice of the pixel passes (FrameAnalyzer::invertPass,
// copyBackdropPass, blendBackdropPass). automatic takes the widest kernel the
// build and the processor offer; the others pin one so that tests can compare
// them (they all give the same bytes). avx512 has a blend of its own and
// runs the AVX2 invert, copy and change count.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestra {

struct FrameAnalyzer;

enum class PassKernel { automatic, scalar, sse2, avx2, avx512 };

// Pins (or with automatic, releases) the kernel; returns false, changing
// nothing, when this build or processor lacks it.
bool selectPassKernel(PassKernel kernel);

enum class FramePass { invert, copyBackdrop, blendBackdrop };

// Runs the pass with its result written to out instead of into the frame:
// out (lastRowOffset + rowBytes bytes) receives the whole frame as the
// in-place pass would leave it, while the frame itself stays as it is. As
// invertPass, an invert that ran sets frameInverted. Returns false, writing
// nothing, where the in-place pass would skip its work (or out is null).
bool runPassInto(FrameAnalyzer& analyzer, FramePass pass, std::uint8_t* out);

// runPassInto for the rows firstRow .. endRow - 1 (clipped to the frame):
// those rows of out receive what the whole-frame call writes there, and the
// other rows of out are left as they are.
bool runPassIntoRows(FrameAnalyzer& analyzer, FramePass pass, std::uint8_t* out, std::int32_t firstRow,
                     std::int32_t endRow);

// Rows first .. end - 1 of a frame; empty when end <= first.
struct RowSpan {
    std::int32_t first = INT32_MAX;
    std::int32_t end = 0;
};

// runPassInto for an out that already holds the pass's result for an
// earlier state of the frame: each row is made aside and written to out
// only where it differs from what out holds, so that rows left as they were
// are neither written nor need showing again. changed receives the span from
// the first to the last row written (empty when none was). Only the rows
// firstRow .. endRow - 1 are made (clipped to the frame); out's other rows
// are left as they are. Returns false, writing nothing, as runPassInto does.
bool runPassIntoChangedRows(FrameAnalyzer& analyzer, FramePass pass, std::uint8_t* out, RowSpan& changed,
                            std::int32_t firstRow = 0, std::int32_t endRow = INT32_MAX);

// The number of the first `pixels` pixels of a and b whose B, G or R differ
// (byte 3 is not compared); with the kernel the passes use.
std::int64_t countChangedPixels(const std::uint8_t* a, const std::uint8_t* b, std::size_t pixels);

// Returns the passes' process-wide state (the kernel choice) to its start
// value.
void resetPixelPassState();

}  // namespace kestra
