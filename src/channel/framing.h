// Text frames carried in WM_COPYDATA between the controller and the helper.
//
//   request: <sender>[.2.]REQ[.1.]<command>[.2.]<payload>[.2.]<request id>
//   reply:   <sender>[.2.]RET[.1.]<request id>[.2.]<payload>
//
// The sender is a window handle written as 16 upper-case hexadecimal digits;
// command numbers and request ids are signed decimal integers. Nothing is
// escaped: a payload that holds a separator changes the piece counts and the
// frame is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace kestra {

inline constexpr std::string_view kHeaderSeparator = "[.1.]";
inline constexpr std::string_view kFieldSeparator = "[.2.]";
inline constexpr std::string_view kRequestKind = "REQ";
inline constexpr std::string_view kReplyKind = "RET";
// The command number of the start-up announcement.
inline constexpr std::int32_t kAnnouncementCommand = 3;
// The longest wait for a peer to take one frame (milliseconds).
inline constexpr UINT kSendTimeoutMs = 1000;
// Frames with more bytes are dropped unread. The longest well-formed request
// is under 300 bytes; a mebibyte leaves room for any future payload while
// bounding what one frame costs to split and copy.
inline constexpr std::size_t kMaxFrameBytes = std::size_t{1} << 20;
// Frames handled inside the handling of another frame, at most: a request
// sent while the peer handles a reply nests one level, and the protocol never
// needs more than a few; past the bound a frame is dropped without a reply.
inline constexpr int kMaxFrameDepth = 16;

// Splits text on the occurrences of delimiter, left to right, as
// splitOnDelimiter does, but stops once `limit` pieces are found: a text with
// fewer pieces gives all of them, a text with more gives exactly `limit`.
// The pieces view the text.
std::vector<std::string_view> splitPieces(std::string_view text, std::string_view delimiter,
                                          std::size_t limit);

// Splits text on every occurrence of delimiter, left to right. An empty text
// yields no pieces; a leading delimiter or two adjacent ones yield empty
// pieces; a trailing delimiter yields no empty last piece. An empty delimiter
// never matches, so the whole text is the one piece.
std::vector<std::string> splitOnDelimiter(std::string_view text, std::string_view delimiter);

// Reads a window handle written in hexadecimal: leading white space, an
// optional sign, an optional "0x"/"0X", digits of either case up to the first
// other character. Empty when there is no hexadecimal digit to read (a field
// that reads as 0 yields the null handle, which is not empty). More than 64
// bits of digits saturate to the all-ones handle.
[[nodiscard]] std::optional<HWND> readHandle(std::string_view field);

// Reads a signed decimal integer: leading white space, an optional sign,
// digits up to the first other character; 0 when there are none. A value
// outside the 32-bit range saturates to INT32_MIN or INT32_MAX.
std::int32_t readInteger(std::string_view field);

// Reads a decimal floating-point number with "." as the decimal point:
// leading white space, an optional sign, digits, an optional fraction and an
// optional exponent; 0 when nothing can be read. The words "nan" and "inf"
// and hexadecimal floats read as 0 (a "0x1p3" reads as its leading 0). The
// result is always finite: a magnitude beyond the double range saturates to
// the largest finite double of that sign.
double readNumber(std::string_view field);

// The 16-digit upper-case hexadecimal form of a handle, zero-padded.
std::string formatHandle(HWND handle);

// Callback registry for replies to requests this process has sent.
struct ReplyWaiter {
    std::int32_t requestId = 0;
    std::function<void(std::string)> callback;
};

struct PeerReplies {
    HWND peer = nullptr;
    std::vector<ReplyWaiter> waiters;
};

extern std::vector<PeerReplies> pendingReplies;

// The handler of incoming requests: peer window, command number, payload,
// request id. Null until start-up installs the command set.
using CommandHandler = void (*)(HWND peer, std::int32_t command, std::string payload, std::int32_t requestId);
extern CommandHandler commandHandler;

// The hidden helper window: the only window whose WM_COPYDATA is handled, and
// the sender written into every outgoing frame.
extern HWND helperWindow;

// Handles a WM_COPYDATA received by `receiver`. Frames sent to any window but
// the helper window, malformed frames, frames over kMaxFrameBytes, frames
// nested deeper than kMaxFrameDepth and frames whose handling runs out of
// memory are dropped without a trace. Never reads beyond data->cbData bytes
// and never throws.
void onCopyData(HWND receiver, const COPYDATASTRUCT* data);

// The request frame "<sender>[.2.]REQ[.1.]<command>[.2.]<payload>[.2.]<id>";
// without a request id the last field is empty, as in the announcement.
[[nodiscard]] std::string formatRequestFrame(HWND sender, std::int32_t command, std::string_view payload,
                                             std::optional<std::int32_t> requestId);

// The reply frame "<sender>[.2.]RET[.1.]<request id>[.2.]<payload>".
[[nodiscard]] std::string formatReplyFrame(HWND sender, std::int32_t requestId, std::string_view payload);

// Sends the start-up announcement: a request with command number 3 and no
// request id. 0 when sent, -1 when target is null or not a window.
int sendRequest(HWND target, std::string_view payload);

// Sends a reply frame to target when target is a window; a target that no
// longer exists is not an error, and the broadcast handle gets nothing.
void sendReply(HWND target, std::int32_t requestId, std::string_view payload);

// Returns the channel's process-wide state to its start values.
void resetChannelState();

}  // namespace kestra
