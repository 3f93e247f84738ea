// Framing tests that need no window: splitting, the field readings, the
// handle text, and onCopyData's parsing and reply dispatch driven with
// hand-made COPYDATASTRUCTs. They use only the framing header and Win32 types,
// so they also build as a Windows program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channel/framing.h"

namespace kestra {
namespace {

using Pieces = std::vector<std::string>;

HWND handleOf(std::uint64_t value) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
}

std::uint64_t valueOf(HWND handle) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

// A field and the value it must read as.
template <typename T>
struct Reading {
    const char* field;
    T value;
};

// Every field reads as its value; stops at the first one that does not read.
void expectHandles(const std::vector<Reading<std::uint64_t>>& readings) {
    for (const Reading<std::uint64_t>& r : readings) {
        const std::optional<HWND> handle = readHandle(r.field);
        ASSERT_TRUE(handle.has_value()) << '"' << r.field << '"';
        EXPECT_EQ(valueOf(*handle), r.value) << '"' << r.field << '"';
    }
}

void expectIntegers(const std::vector<Reading<std::int32_t>>& readings) {
    for (const Reading<std::int32_t>& r : readings) {
        EXPECT_EQ(readInteger(r.field), r.value) << '"' << r.field << '"';
    }
}

void expectNumbers(const std::vector<Reading<double>>& readings) {
    for (const Reading<double>& r : readings) {
        EXPECT_EQ(readNumber(r.field), r.value) << '"' << r.field << '"';
    }
}

// ---- splitOnDelimiter ----

struct SplitCase {
    const char* text;
    const char* delimiter;
    Pieces pieces;
};

TEST(SplitOnDelimiter, Cases) {
    const std::vector<SplitCase> cases = {
        {"", "[.2.]", {}},                                // empty text: no pieces
        {"", "|", {}},                                    //
        {"[.2.]", "[.2.]", {""}},                         // only the delimiter: one empty piece
        {"a[.2.][.2.]b", "[.2.]", {"a", "", "b"}},        // adjacent delimiters
        {"a[.2.]b[.2.]", "[.2.]", {"a", "b"}},            // trailing: no empty last piece
        {"h,7.9,", ",", {"h", "7.9"}},                    //
        {"[.2.]a", "[.2.]", {"", "a"}},                   // leading: empty first piece
        {"h,,7.9", ",", {"h", "", "7.9"}},                //
        {"a[.2.", "[.2.]", {"a[.2."}},                    // cut-off delimiter is text
        {"a[.2.]b[.2", "[.2.]", {"a", "b[.2"}},           //
        {"aaa", "aa", {"", "a"}},                         // first match wins, left to right
        {"aaaa", "aa", {"", ""}},                         //
        {"00000000000A0B1C", "|", {"00000000000A0B1C"}},  // no delimiter
        {"abc", "", {"abc"}},                             // an empty delimiter never matches
        {"H[.2.]REQ[.1.]1[.2.]p[.2.]5", "[.1.]", {"H[.2.]REQ", "1[.2.]p[.2.]5"}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(splitOnDelimiter(c.text, c.delimiter), c.pieces)
            << '"' << c.text << "\" on \"" << c.delimiter << '"';
    }
}

TEST(SplitPieces, AgreesWithTheFullSplitUpToTheLimit) {
    const std::vector<SplitCase> cases = {
        {"", ",", {}},
        {",", ",", {""}},
        {"a,,b", ",", {"a", "", "b"}},
        {"a,b,", ",", {"a", "b"}},
        {",a", ",", {"", "a"}},
        {"a,b,c,d,e", ",", {"a", "b", "c", "d", "e"}},
        {"aaaa", "aa", {"", ""}},
        {"abc", "", {"abc"}},
    };
    for (const SplitCase& c : cases) {
        for (std::size_t limit = 0; limit <= c.pieces.size() + 1; ++limit) {
            const std::vector<std::string_view> views = splitPieces(c.text, c.delimiter, limit);
            const Pieces got(views.begin(), views.end());
            const Pieces want(c.pieces.begin(), c.pieces.begin() + static_cast<std::ptrdiff_t>(
                                                                       std::min(limit, c.pieces.size())));
            EXPECT_EQ(got, want) << '"' << c.text << "\" limit " << limit;
        }
    }
}

TEST(SplitPieces, StopsAtTheLimitOnASeparatorDenseText) {
    const std::string commas(std::size_t{1} << 20, ',');
    const std::vector<std::string_view> views = splitPieces(commas, ",", 3);
    ASSERT_EQ(views.size(), 3u);
    // The pieces view the text rather than copy it.
    EXPECT_EQ(views[2].data(), commas.data() + 2);
}

// ---- readHandle ----

TEST(ReadHandle, PrefixAndCaseAndTrailingTextGiveTheSameHandle) {
    const std::optional<HWND> a = readHandle("0x00000000000A0B1C");
    const std::optional<HWND> b = readHandle("  \t a0b1c and more");
    const std::optional<HWND> c = readHandle("0XA0B1C");
    ASSERT_TRUE(a.has_value());
    ASSERT_TRUE(b.has_value());
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(valueOf(*a), 0xA0B1Cu);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
}

TEST(ReadHandle, NoHexDigitReadsNothing) {
    for (const char* field : {"", "   ", "zz", "x12", "-", "+ 1", "\n", "g0"}) {
        EXPECT_FALSE(readHandle(field).has_value()) << '"' << field << '"';
    }
}

TEST(ReadHandle, PrefixWithoutDigitsReadsItsZero) {
    for (const char* field : {"0x", "0xg", "0X "}) {
        const std::optional<HWND> handle = readHandle(field);
        ASSERT_TRUE(handle.has_value()) << field;
        EXPECT_EQ(*handle, nullptr) << field;
    }
}

TEST(ReadHandle, SignsAreAccepted) {
    expectHandles({
        {"+1f", 0x1Fu},
        {"-1", std::numeric_limits<std::uint64_t>::max()},
        {"-0x10", std::numeric_limits<std::uint64_t>::max() - 0xF},
    });
}

TEST(ReadHandle, SixteenDigitsUseTheFullWidthAndMoreSaturate) {
    expectHandles({
        {"FEDCBA9876543210", 0xFEDCBA9876543210u},
        {"00000000000000000000FF", 0xFFu},
        {"10000000000000000", std::numeric_limits<std::uint64_t>::max()},
    });
}

// ---- readInteger ----

TEST(ReadInteger, DecimalWithOptionalSignAndBlanks) {
    expectIntegers({
        {"17", 17},
        {"-5", -5},
        {"  +42x", 42},
        {"007", 7},
        {"2", 2},
    });
}

TEST(ReadInteger, NoDigitsReadAsZero) {
    expectIntegers({
        {"", 0},
        {"abc", 0},
        {"- 5", 0},
        {"-", 0},
        {".9", 0},
    });
}

TEST(ReadInteger, StopsAtTheDecimalPoint) {
    expectIntegers({
        {"0.9", 0},
        {"7.9", 7},
        {"1e3", 1},
    });
}

TEST(ReadInteger, ValuesBeyondThirtyTwoBitsSaturate) {
    constexpr std::int32_t max = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t min = std::numeric_limits<std::int32_t>::min();
    expectIntegers({
        {"2147483647", max},
        {"2147483648", max},
        {"4294967297", max},  // would wrap to 1
        {"99999999999999999999999999", max},
        {"-2147483648", min},
        {"-2147483649", min},
        {"-99999999999999999999999999", min},
    });
}

// ---- readNumber ----

TEST(ReadNumber, DecimalForms) {
    expectNumbers({
        {"7.9", 7.9},
        {"1", 1.0},
        {"1.0", 1.0},
        {"1e0", 1.0},
        {"-0.5", -0.5},
        {"  +.25", 0.25},
        {"5.", 5.0},
        {"2.5e-1", 0.25},
        {"1.5E3", 1500.0},
        {"0.1", 0.1},
    });
}

TEST(ReadNumber, ReadingStopsAtTheFirstOtherCharacter) {
    expectNumbers({
        {"1,5", 1.0},
        {"1.5e3x", 1500.0},
        {"3e", 3.0},
        {"3e+", 3.0},
        {"3e-x", 3.0},
        {"0.75 ", 0.75},
    });
}

TEST(ReadNumber, UnreadableTextReadsAsZero) {
    for (const char* field :
         {"", " ", ".", "-", "+.", "e5", "true", "nan", "NaN", "inf", "-inf", "Infinity", "-nan(0x1)"}) {
        EXPECT_EQ(readNumber(field), 0.0) << '"' << field << '"';
    }
}

TEST(ReadNumber, HexadecimalFloatsReadOnlyTheirLeadingZero) {
    expectNumbers({
        {"0x1p3", 0.0},
        {"0X1.8P1", 0.0},
        {"-0x10", 0.0},
    });
}

TEST(ReadNumber, ResultIsAlwaysFinite) {
    expectNumbers({
        {"1e400", std::numeric_limits<double>::max()},
        {"-1e400", -std::numeric_limits<double>::max()},
        {"0.00001e315", std::numeric_limits<double>::max()},
        {"1e-400", 0.0},
    });
    // Underflow despite a positive exponent: the digits start far right of
    // the point.
    const std::string tiny = "0." + std::string(400, '0') + "1e5";
    EXPECT_EQ(readNumber(tiny), 0.0);
    // In range despite a huge exponent.
    const std::string fine = "0." + std::string(300, '0') + "1e305";
    EXPECT_EQ(readNumber(fine), 1e4);
}

// ---- formatHandle ----

TEST(FormatHandle, SixteenUpperCaseDigitsZeroPadded) {
    EXPECT_EQ(formatHandle(nullptr), "0000000000000000");
    EXPECT_EQ(formatHandle(handleOf(0xA0B1C)), "00000000000A0B1C");
    EXPECT_EQ(formatHandle(handleOf(0xFEDCBA9876543210u)), "FEDCBA9876543210");
}

TEST(FormatHandle, ReadsBackToTheSameHandle) {
    for (std::uint64_t value : {std::uint64_t{0}, std::uint64_t{0x3A0F2C}, std::uint64_t{0x8000000000000001u},
                                std::numeric_limits<std::uint64_t>::max()}) {
        const std::optional<HWND> handle = readHandle(formatHandle(handleOf(value)));
        ASSERT_TRUE(handle.has_value());
        EXPECT_EQ(valueOf(*handle), value);
    }
}

// ---- onCopyData, driven directly ----

struct HandledRequest {
    HWND peer;
    std::int32_t command;
    std::string payload;
    std::int32_t requestId;
};

std::vector<HandledRequest> handledRequests;

void recordRequest(HWND peer, std::int32_t command, std::string payload, std::int32_t requestId) {
    handledRequests.push_back({peer, command, std::move(payload), requestId});
}

class OnCopyDataTest : public ::testing::Test {
  protected:
    static inline const HWND helper = handleOf(0x3A0F2C);
    static inline const HWND peer = handleOf(0xA0B1C);
    static inline const std::string peerText = "00000000000A0B1C";

    void SetUp() override {
        resetChannelState();
        handledRequests.clear();
        helperWindow = helper;
        commandHandler = recordRequest;
    }
    void TearDown() override {
        resetChannelState();
        handledRequests.clear();
    }

    // Delivers the bytes in a buffer of exactly their size, so that any read
    // past cbData leaves the allocation.
    void deliver(const std::string& bytes, HWND receiver = helper) {
        std::vector<char> buffer(bytes.begin(), bytes.end());
        COPYDATASTRUCT data{};
        data.cbData = static_cast<DWORD>(buffer.size());
        data.lpData = buffer.empty() ? nullptr : buffer.data();
        onCopyData(receiver, &data);
    }
};

TEST_F(OnCopyDataTest, WellFormedRequestReachesTheHandler) {
    deliver(peerText + "[.2.]REQ[.1.]4[.2.]00000000000A0B1C,7.9[.2.]17");
    ASSERT_EQ(handledRequests.size(), 1u);
    EXPECT_EQ(handledRequests[0].peer, peer);
    EXPECT_EQ(handledRequests[0].command, 4);
    EXPECT_EQ(handledRequests[0].payload, "00000000000A0B1C,7.9");
    EXPECT_EQ(handledRequests[0].requestId, 17);
}

TEST_F(OnCopyDataTest, EmptyPayloadIsDispatched) {
    deliver(peerText + "[.2.]REQ[.1.]1[.2.][.2.]7");
    ASSERT_EQ(handledRequests.size(), 1u);
    EXPECT_EQ(handledRequests[0].payload, "");
    EXPECT_EQ(handledRequests[0].requestId, 7);
}

TEST_F(OnCopyDataTest, FieldsUseTheLenientReadings) {
    deliver("0x000a0b1c[.2.]REQ[.1.] -3x[.2.]p[.2.]99999999999");
    ASSERT_EQ(handledRequests.size(), 1u);
    EXPECT_EQ(handledRequests[0].peer, peer);
    EXPECT_EQ(handledRequests[0].command, -3);
    EXPECT_EQ(handledRequests[0].requestId, std::numeric_limits<std::int32_t>::max());
}

TEST_F(OnCopyDataTest, MalformedFramesAreDropped) {
    const std::vector<std::string> frames = {
        // announcement shape: no request id, two body pieces
        peerText + "[.2.]REQ[.1.]3[.2.]" + peerText + "[.2.]",
        // kind differs in case or length
        peerText + "[.2.]req[.1.]1[.2.]p[.2.]1",
        peerText + "[.2.]REQS[.1.]1[.2.]p[.2.]1",
        peerText + "[.2.]RE[.1.]1[.2.]p[.2.]1",
        peerText + "[.2.][.1.]1[.2.]p[.2.]1",
        // separator inside the payload
        peerText + "[.2.]REQ[.1.]1[.2.]a[.2.]b[.2.]1",
        peerText + "[.2.]REQ[.1.]1[.2.]a[.1.]b[.2.]1",
        // header with too many or too few fields
        peerText + "[.2.]x[.2.]REQ[.1.]1[.2.]p[.2.]1",
        "REQ[.1.]1[.2.]p[.2.]1",
        // no body separator, or nothing at all
        peerText + "[.2.]REQ",
        peerText + "[.2.]REQ[.1.]",
        "[.1.]",
        // a sender that does not read as hexadecimal
        "zz[.2.]REQ[.1.]1[.2.]p[.2.]1",
        "[.2.]REQ[.1.]1[.2.]p[.2.]1",
    };
    for (const std::string& frame : frames) {
        deliver(frame);
        EXPECT_TRUE(handledRequests.empty()) << frame;
        handledRequests.clear();
    }
}

TEST_F(OnCopyDataTest, FramesToOtherWindowsAreIgnored) {
    const std::string frame = peerText + "[.2.]REQ[.1.]1[.2.]p[.2.]1";
    deliver(frame, handleOf(0x3A0F30));
    deliver(frame, nullptr);
    EXPECT_TRUE(handledRequests.empty());
    helperWindow = nullptr;  // before start-up nothing is the helper window
    deliver(frame, nullptr);
    EXPECT_TRUE(handledRequests.empty());
}

TEST_F(OnCopyDataTest, WithoutHandlerRequestsAreDropped) {
    commandHandler = nullptr;
    deliver(peerText + "[.2.]REQ[.1.]1[.2.]p[.2.]1");
    EXPECT_TRUE(handledRequests.empty());
}

TEST_F(OnCopyDataTest, MissingOrEmptyDataIsDropped) {
    onCopyData(helper, nullptr);
    COPYDATASTRUCT data{};
    onCopyData(helper, &data);  // null pointer, zero size
    char byte = 'x';
    data.lpData = &byte;
    data.cbData = 0;
    onCopyData(helper, &data);
    data.lpData = nullptr;
    data.cbData = 64;  // a size without bytes
    onCopyData(helper, &data);
    EXPECT_TRUE(handledRequests.empty());
}

TEST_F(OnCopyDataTest, TextEndsAtTheFirstNul) {
    std::string bytes = peerText + "[.2.]REQ[.1.]1[.2.]p[.2.]12";
    bytes.push_back('\0');
    bytes += "[.2.]junk";
    deliver(bytes);
    ASSERT_EQ(handledRequests.size(), 1u);
    EXPECT_EQ(handledRequests[0].requestId, 12);
}

TEST_F(OnCopyDataTest, TextNeverExtendsPastCbData) {
    const std::string bytes = peerText + "[.2.]REQ[.1.]1[.2.]p[.2.]12";
    std::vector<char> buffer(bytes.begin(), bytes.end());  // no terminating NUL
    COPYDATASTRUCT data{};
    data.lpData = buffer.data();
    data.cbData = static_cast<DWORD>(buffer.size() - 1);  // the last digit is outside the frame
    onCopyData(helper, &data);
    ASSERT_EQ(handledRequests.size(), 1u);
    EXPECT_EQ(handledRequests[0].requestId, 1);
}

// ---- reply dispatch ----

class ReplyDispatchTest : public OnCopyDataTest {
  protected:
    std::vector<std::string> calls;

    std::function<void(std::string)> recorder(const std::string& name) {
        return [this, name](std::string payload) { calls.push_back(name + ":" + payload); };
    }
};

TEST_F(ReplyDispatchTest, MatchingWaiterIsCalledOnceAndRemoved) {
    pendingReplies.push_back({peer, {{1, recorder("a")}, {2, recorder("b")}, {3, recorder("c")}}});
    deliver(peerText + "[.2.]RET[.1.]2[.2.]ok");
    EXPECT_EQ(calls, std::vector<std::string>{"b:ok"});
    ASSERT_EQ(pendingReplies.size(), 1u);
    ASSERT_EQ(pendingReplies[0].waiters.size(), 2u);
    EXPECT_EQ(pendingReplies[0].waiters[0].requestId, 1);
    EXPECT_EQ(pendingReplies[0].waiters[1].requestId, 3);

    deliver(peerText + "[.2.]RET[.1.]2[.2.]again");  // already answered
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(ReplyDispatchTest, LastWaiterTakesItsPeerRecordAlong) {
    const HWND other = handleOf(0x77);
    pendingReplies.push_back({other, {{1, recorder("x")}}});
    pendingReplies.push_back({peer, {{-5, recorder("p")}}});
    pendingReplies.push_back({handleOf(0x99), {{1, recorder("y")}}});
    deliver(peerText + "[.2.]RET[.1.]-5[.2.]done");
    EXPECT_EQ(calls, std::vector<std::string>{"p:done"});
    ASSERT_EQ(pendingReplies.size(), 2u);
    EXPECT_EQ(pendingReplies[0].peer, other);
    EXPECT_EQ(pendingReplies[1].peer, handleOf(0x99));
}

TEST_F(ReplyDispatchTest, DuplicateIdsAnswerTheFirstWaiterFirst) {
    pendingReplies.push_back({peer, {{4, recorder("first")}, {4, recorder("second")}}});
    deliver(peerText + "[.2.]RET[.1.]4[.2.]1");
    deliver(peerText + "[.2.]RET[.1.]4[.2.]2");
    EXPECT_EQ(calls, (std::vector<std::string>{"first:1", "second:2"}));
    EXPECT_TRUE(pendingReplies.empty());
}

TEST_F(ReplyDispatchTest, OnlyTheFirstRecordOfAPeerIsSearched) {
    pendingReplies.push_back({peer, {{1, recorder("a")}}});
    pendingReplies.push_back({peer, {{2, recorder("b")}}});
    deliver(peerText + "[.2.]RET[.1.]2[.2.]x");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(pendingReplies.size(), 2u);
}

TEST_F(ReplyDispatchTest, UnknownPeerOrIdOrMalformedReplyChangesNothing) {
    pendingReplies.push_back({peer, {{1, recorder("a")}}});
    deliver("0000000000000077[.2.]RET[.1.]1[.2.]x");   // unknown peer
    deliver(peerText + "[.2.]RET[.1.]9[.2.]x");        // unknown id
    deliver(peerText + "[.2.]RET[.1.]1[.2.]");         // empty payload: one body piece
    deliver(peerText + "[.2.]RET[.1.]1[.2.]x[.2.]y");  // three body pieces
    deliver(peerText + "[.2.]ret[.1.]1[.2.]x");        // kind in lower case
    EXPECT_TRUE(calls.empty());
    ASSERT_EQ(pendingReplies.size(), 1u);
    EXPECT_EQ(pendingReplies[0].waiters.size(), 1u);
}

TEST_F(ReplyDispatchTest, CallbackMayChangeTheRegistry) {
    pendingReplies.push_back({peer, {{1, [](std::string) {
                                          pendingReplies.push_back({handleOf(0x55), {}});
                                      }}}});
    pendingReplies.push_back({handleOf(0x66), {{1, recorder("z")}}});
    deliver(peerText + "[.2.]RET[.1.]1[.2.]x");
    ASSERT_EQ(pendingReplies.size(), 2u);
    EXPECT_EQ(pendingReplies[0].peer, handleOf(0x66));
    EXPECT_EQ(pendingReplies[1].peer, handleOf(0x55));
}

TEST(ChannelState, ResetRestoresStartValues) {
    pendingReplies.push_back({handleOf(1), {{1, nullptr}}});
    commandHandler = recordRequest;
    helperWindow = handleOf(2);
    resetChannelState();
    EXPECT_TRUE(pendingReplies.empty());
    EXPECT_EQ(commandHandler, nullptr);
    EXPECT_EQ(helperWindow, nullptr);
}

}  // namespace
}  // namespace kestra
