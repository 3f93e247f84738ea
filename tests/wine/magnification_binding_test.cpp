// The run-time binding of the Magnification API (platform/windows), against
// no DLL, a DLL that lacks functions, and the stand-in; and the stand-in's
// own rendering, filter list and callback.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "platform/windows/magnification_binding.h"
#include "shared_pixels.h"
#include "wine_support.h"

namespace {

struct Seen {
    int calls = 0;
    HWND hwnd = nullptr;
    void* bits = nullptr;
    MAGIMAGEHEADER header{};
    RECT unclipped{};
    std::vector<std::uint32_t> pixels;
};
Seen seen;

BOOL CALLBACK recordImage(HWND hwnd, void* srcdata, MAGIMAGEHEADER srcheader, void*, MAGIMAGEHEADER,
                          RECT unclipped, RECT, HRGN) {
    ++seen.calls;
    seen.hwnd = hwnd;
    seen.bits = srcdata;
    seen.header = srcheader;
    seen.unclipped = unclipped;
    seen.pixels.assign(srcheader.cbSize / 4, 0);
    std::memcpy(seen.pixels.data(), srcdata, srcheader.cbSize);
    return TRUE;
}

bool libraryLoaded() {
    return GetModuleHandleA("magnification.dll") != nullptr;
}

class MagnificationBinding : public ::testing::Test {
  protected:
    void TearDown() override { kestra::resetMagnificationBindingState(); }
};

TEST_F(MagnificationBinding, WithoutTheDllEveryFunctionFails) {
    // Nothing named Magnification.dll lies beside this program, and Wine has
    // none of its own.
    kestra::resetMagnificationBindingState();
    EXPECT_FALSE(kestra::magnificationAvailable());
    EXPECT_FALSE(MagInitialize());
    EXPECT_FALSE(MagUninitialize());
    EXPECT_FALSE(MagSetWindowSource(nullptr, RECT{0, 0, 10, 10}));
    HWND list[1] = {nullptr};
    EXPECT_FALSE(MagSetWindowFilterList(nullptr, MW_FILTERMODE_EXCLUDE, 1, list));
    EXPECT_FALSE(MagSetImageScalingCallback(nullptr, recordImage));
    EXPECT_FALSE(libraryLoaded());
}

TEST_F(MagnificationBinding, ADllWithoutEveryFunctionIsNotUsedAndNotKeptLoaded) {
    kestra::resetMagnificationBindingState((winetest::ownFolder() + "partial\\magnification.dll").c_str());
    EXPECT_FALSE(MagInitialize()) << "the partial DLL's own MagInitialize must not be reached";
    EXPECT_FALSE(kestra::magnificationAvailable());
    EXPECT_FALSE(libraryLoaded());
}

class StandIn : public MagnificationBinding {
  protected:
    void SetUp() override {
        kestra::resetMagnificationBindingState((winetest::ownFolder() + "mag\\magnification.dll").c_str());
        ASSERT_TRUE(MagInitialize());
        host =
            CreateWindowExA(0, "STATIC", nullptr, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        magnifier = CreateWindowExA(0, "Magnifier", "MagnifierWindow", WS_CHILD, 0, 0, 40, 30, host, nullptr,
                                    GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(magnifier, nullptr);
        seen = Seen{};
    }
    void TearDown() override {
        DestroyWindow(host);
        EXPECT_TRUE(MagUninitialize());
        MagnificationBinding::TearDown();
        EXPECT_FALSE(libraryLoaded()) << "reset unloads the library";
    }
    HWND host = nullptr;
    HWND magnifier = nullptr;
};

TEST_F(StandIn, SourceImageReachesTheCallbackSynchronously) {
    EXPECT_TRUE(kestra::magnificationAvailable());
    ASSERT_TRUE(MagSetImageScalingCallback(magnifier, recordImage));
    // Far off every window: only the desktop pattern.
    const RECT source{1100, 900, 1140, 930};
    ASSERT_TRUE(MagSetWindowSource(magnifier, source));
    ASSERT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.hwnd, magnifier);
    EXPECT_EQ(seen.header.width, 40u);
    EXPECT_EQ(seen.header.height, 30u);
    EXPECT_EQ(seen.header.stride, 160u);
    EXPECT_EQ(seen.header.cbSize, 40u * 30u * 4u);
    EXPECT_EQ(seen.unclipped.left, 1100);
    // The pattern: blue = x & 255, green = y & 255.
    EXPECT_EQ(seen.pixels[0] & 0xFFFFu, ((900u & 0xFF) << 8) | (1100u & 0xFF));
    EXPECT_EQ(seen.pixels[29 * 40 + 39] & 0xFFFFu, ((929u & 0xFF) << 8) | (1139u & 0xFF));
    // Same size again: the same buffer.
    void* first = seen.bits;
    ASSERT_TRUE(MagSetWindowSource(magnifier, source));
    EXPECT_EQ(seen.calls, 2);
    EXPECT_EQ(seen.bits, first);
    // Removing the callback stops the calls.
    ASSERT_TRUE(MagSetImageScalingCallback(magnifier, nullptr));
    ASSERT_TRUE(MagSetWindowSource(magnifier, source));
    EXPECT_EQ(seen.calls, 2);
}

TEST_F(StandIn, WindowsArePaintedInZOrderUnlessFiltered) {
    ASSERT_TRUE(MagSetImageScalingCallback(magnifier, recordImage));
    // Two visible popups without published pixels draw flat grey; a third
    // publishes one colour.
    HWND lower = CreateWindowExA(0, "STATIC", nullptr, WS_POPUP | WS_VISIBLE, 500, 500, 20, 20, nullptr,
                                 nullptr, nullptr, nullptr);
    HWND upper = CreateWindowExA(0, "STATIC", nullptr, WS_POPUP | WS_VISIBLE, 510, 500, 20, 20, nullptr,
                                 nullptr, nullptr, nullptr);
    ASSERT_NE(lower, nullptr);
    ASSERT_NE(upper, nullptr);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(winetest::SharedPixelsHeader) + 20 * 20 * 4,
                                        winetest::sharedPixelsName(upper).c_str());
    ASSERT_NE(mapping, nullptr);
    auto* header =
        static_cast<winetest::SharedPixelsHeader*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(header, nullptr);
    *header = {winetest::kSharedPixelsMagic, 20, 20, 0};
    auto* pixels = reinterpret_cast<std::uint32_t*>(header + 1);
    for (int i = 0; i < 400; ++i) {
        pixels[i] = 0xFF112233u;
    }

    const RECT source{500, 500, 540, 530};
    ASSERT_TRUE(MagSetWindowSource(magnifier, source));
    ASSERT_EQ(seen.calls, 1);
    auto at = [](int x, int y) { return seen.pixels[static_cast<std::size_t>(y - 500) * 40 + (x - 500)]; };
    EXPECT_EQ(at(505, 505), 0xFF808080u);                                     // lower only
    EXPECT_EQ(at(515, 505), 0xFF112233u);                                     // upper covers lower
    EXPECT_EQ(at(535, 505) & 0xFFFFu, ((505u & 0xFF) << 8) | (535u & 0xFF));  // desktop
    EXPECT_EQ(at(515, 525) & 0xFFFFu, ((525u & 0xFF) << 8) | (515u & 0xFF));  // below both

    HWND filter[1] = {upper};
    ASSERT_TRUE(MagSetWindowFilterList(magnifier, MW_FILTERMODE_EXCLUDE, 1, filter));
    ASSERT_TRUE(MagSetWindowSource(magnifier, source));
    EXPECT_EQ(at(515, 505), 0xFF808080u) << "the excluded window is left out, the one below shows";
    EXPECT_EQ(at(525, 505) & 0xFFFFu, ((505u & 0xFF) << 8) | (525u & 0xFF));

    UnmapViewOfFile(header);
    CloseHandle(mapping);
    DestroyWindow(upper);
    DestroyWindow(lower);
}

TEST_F(StandIn, CallsOnWindowsThatAreNotMagnifiersFail) {
    EXPECT_FALSE(MagSetImageScalingCallback(host, recordImage));
    EXPECT_FALSE(MagSetWindowSource(host, RECT{0, 0, 10, 10}));
    EXPECT_FALSE(MagSetWindowSource(magnifier, RECT{10, 10, 10, 20})) << "empty source rectangle";
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
