// FrameAnalyzer: geometry, grid steps, scan margins, colour tables, masks and
// opacity settings of one target's captured frame, with the analyses and pixel
// passes that work on it. Positions are byte offsets into the frame (pixel at
// column x, row y: y * rowBytes + x * 4); a mask index is a byte offset / 4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/heap.h"

namespace kestra {

// The 24-bit colour index of a pixel: byte 0 * 65536 + byte 1 * 256 + byte 2.
inline std::uint32_t colourKey(const std::uint8_t* pixel) {
    return (static_cast<std::uint32_t>(pixel[0]) << 16) | (static_cast<std::uint32_t>(pixel[1]) << 8) |
           pixel[2];
}

// A colour table holds one flag per 24-bit colour, one bit each: the flag of
// colour key k is bit k % 8 of byte k / 8.
inline constexpr std::uint32_t kColourCount = 16777216;
inline constexpr std::uint32_t kColourTableBytes = kColourCount / 8;  // 2 MiB

inline bool colourFlagged(const std::uint8_t* table, std::uint32_t key) {
    return ((table[key >> 3] >> (key & 7u)) & 1u) != 0;
}

inline void flagColour(std::uint8_t* table, std::uint32_t key) {
    table[key >> 3] = static_cast<std::uint8_t>(table[key >> 3] | (1u << (key & 7u)));
}

// Flags the colours first .. last (inclusive keys, last >= first).
void flagColourRange(std::uint8_t* table, std::uint32_t first, std::uint32_t last);

// A rectangle photo-region detection marked: byte offsets of its top and
// bottom rows and of its left and right columns, all inclusive.
struct MarkedRegion {
    std::int32_t top = 0;
    std::int32_t bottom = 0;
    std::int32_t left = 0;
    std::int32_t right = 0;
    bool operator==(const MarkedRegion&) const = default;
};

// The process-wide colour that recolouring paints foreground runs with.
struct RunColour {
    std::uint8_t b = 0;
    std::uint8_t g = 0;
    std::uint8_t r = 0;
    bool operator==(const RunColour&) const = default;
};

// A band the recolouring found: rows top .. bottom and columns left .. right
// (inclusive byte offsets) under one run colour, with the average of its
// pixels close to that colour, which its glyphs are painted against.
// plainOffset and plainRowWords place the band's rows in bandPlainBits.
struct ForegroundBand {
    std::int32_t top = 0;
    std::int32_t bottom = 0;
    std::int32_t left = 0;
    std::int32_t right = 0;
    RunColour average;
    bool nearAverage = false;  // the average lies within 50 of the run colour
    std::size_t plainOffset = 0;
    std::int32_t plainRowWords = 0;
    bool operator==(const ForegroundBand&) const = default;
};

struct FrameAnalyzer {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t pixelCount = 0;
    std::int32_t sampleStep = 0;
    std::int32_t probeStep = 0;
    std::int32_t sampleRowBytes = 0;
    std::int32_t sampleColumnBytes = 0;
    std::int32_t scanRowBytes = 0;
    std::int32_t scanColumnBytes = 0;
    std::int32_t probeRowBytes = 0;
    std::int32_t probeColumnBytes = 0;
    std::int32_t rowBytes = 0;
    std::int32_t lastPixelOffset = 0;
    std::int32_t lastRowOffset = 0;
    std::int32_t byteSize = 0;
    std::int32_t limitTop = -1;
    std::int32_t limitBottom = -1;
    std::int32_t limitLeft = -1;
    std::int32_t limitRight = -1;
    std::int32_t scanTop = 0;
    std::int32_t scanBottom = 0;
    std::int32_t scanLeft = 0;
    std::int32_t scanRight = 0;
    std::int32_t verticalTolerance = 0;
    std::int32_t threadCount = 1;
    float contentOpacity = 0.0f;
    float contentOpacityComplement = 1.0f;
    float photoOpacity = 1.0f;
    float photoOpacityComplement = 0.0f;
    float foregroundOpacity = 1.0f;
    float foregroundOpacityComplement = 0.0f;
    std::uint8_t* frame = nullptr;  // the current frame, processed in place; not owned
    HeapBuffer backdropImage;       // blurred, toned backdrop; allocated by the engine with the glass copies
    std::uint8_t backdropBright = 0;
    std::uint8_t isDarkContent = 0;
    std::uint8_t frameInverted = 0;
    std::uint8_t contentOpacityHigh = 0;
    HeapBuffer seenColourTable;        // 2^24 bit flags; allocated by the engine at attach
    HeapBuffer backgroundColourTable;  // 2^24 bit flags; only while glass buffers exist
    // A view, never an owner: the mask recolouring marks its painted runs in.
    // It aliases regionMask while glass buffers exist and is null otherwise.
    std::uint8_t* recolourMask = nullptr;
    HeapBuffer visitedMask;  // pixelCount bytes; only while glass buffers exist
    HeapBuffer regionMask;   // pixelCount bytes; allocated by configureGeometry
    // The rectangles the last detectPhotoRegions marked, and those of the
    // call before it (the mask is the union of a call's rectangles).
    std::vector<MarkedRegion> markedRegions;
    std::vector<MarkedRegion> earlierMarkedRegions;
    // The bands the last findForegroundBands found, in the order found (rows
    // top to bottom, then left to right), and those of the call before it.
    // No two overlap. bandPlainBits holds, per band row, one bit per sixteen
    // pixels from the band's left column that are all its run colour.
    std::vector<ForegroundBand> foregroundBands;
    std::vector<ForegroundBand> earlierForegroundBands;
    std::vector<std::uint64_t> bandPlainBits;
    // Set by findForegroundBands when it found the bands of the call before.
    bool foregroundBandsRepeated = false;
    // Set by detectPhotoRegions when the mask it made holds the same bytes as
    // the one the call before it made: as many pixels, the same rectangles.
    bool photoRegionsRepeated = false;
    std::int32_t markedPixelCount = 0;  // of the last call's mask; 0 when it made none

    // Housekeeping. Each returns 0, or -1 when an allocation failed (the
    // buffer concerned is then null and the analyses skip their work).
    // configureGeometry reads the desktop extent (right + bottom of the
    // desktop window's rectangle) and hands it to configureGeometryFor.
    int configureGeometry();
    int configureGeometryFor(std::int32_t desktopExtent);
    int allocateGlassBuffers();
    void releaseGlassBuffers();
    void releaseAnalyzer();

    // Dark-content test and photo regions.
    void measureDarkness();
    bool isTextured(std::int32_t offset, std::int32_t threshold) const;
    void detectPhotoRegions();

    // Background colour learning and recolouring.
    void learnBackgroundColours();
    void markBackgroundColour(const std::uint8_t* pixel);
    // recolourForeground finds the bands and paints every row of them;
    // findForegroundBands and paintForegroundRows are its two halves. A row's
    // painting depends on that row, the photo regions, the bands and the
    // backdrop only, so rows whose inputs are those of the last call need not
    // be painted again. paintForegroundRows takes rows by index, first ..
    // end - 1, and must follow findForegroundBands on the same frame and mask.
    void recolourForeground();
    void findForegroundBands();
    void paintForegroundRows(std::int32_t firstRow, std::int32_t endRow);
    // Both halves, each band painted as soon as it is found when paint is
    // set (its rows are then still in the cache).
    void findBands(bool paint);
    void recolourBand(std::int32_t topRow, std::int32_t bottomRow, std::int32_t firstColumn,
                      std::int32_t lastColumn);

    // Pixel passes over the unmasked pixels of rows 0 .. height - 3.
    void invertPass();
    void copyBackdropPass();
    void blendBackdropPass();
    void blendPhotoPixel(std::uint8_t* framePixel, const std::uint8_t* backdropPixel) const;
};

extern RunColour runColour;

// Returns the analysis subsystem's process-wide state (runColour) to its
// start values.
void resetAnalysisState();

}  // namespace kestra
