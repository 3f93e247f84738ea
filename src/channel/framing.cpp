#include "channel/framing.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>
#include <utility>

namespace kestra {

std::vector<PeerReplies> pendingReplies;
CommandHandler commandHandler = nullptr;
HWND helperWindow = nullptr;

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::size_t skipBlanks(std::string_view text, std::size_t position) {
    while (position < text.size() && isBlank(text[position])) {
        ++position;
    }
    return position;
}

// The power of ten of the first non-zero digit of a well-formed decimal
// number "digits[.digits][e[sign]digits]" (0 for "1.5", 2 for "150", -3 for
// "0.001", 5 for "1e5"). Only called for a number with a non-zero digit.
long long decimalOrder(const char* first, const char* last) {
    const char* p = first;
    long long order = 0;
    long long integerDigits = 0;
    bool significant = false;
    while (p < last && isDecimalDigit(*p)) {
        significant = significant || *p != '0';
        if (significant) {
            ++integerDigits;
        }
        ++p;
    }
    if (integerDigits > 0) {
        order = integerDigits - 1;
    }
    if (p < last && *p == '.') {
        ++p;
        long long leadingZeros = 0;
        while (p < last && isDecimalDigit(*p)) {
            if (integerDigits == 0 && !significant) {
                if (*p == '0') {
                    ++leadingZeros;
                } else {
                    significant = true;
                    order = -(leadingZeros + 1);
                }
            }
            ++p;
        }
    }
    if (p < last && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negativeExponent = false;
        if (p < last && (*p == '+' || *p == '-')) {
            negativeExponent = *p == '-';
            ++p;
        }
        long long exponent = 0;
        while (p < last && isDecimalDigit(*p)) {
            if (exponent < 100000000) {
                exponent = exponent * 10 + (*p - '0');
            }
            ++p;
        }
        order += negativeExponent ? -exponent : exponent;
    }
    return order;
}

// Sends one frame with WM_COPYDATA; the result of the send says nothing the
// channel acts on. The send is bounded so that a peer that stops taking
// messages cannot stop the main thread (every overlay and the liveness
// check): a live controller handles a frame in microseconds, so a second is
// far beyond any answer worth waiting for, and once the system judges the
// peer hung SMTO_ABORTIFHUNG gives up at once. SMTO_NORMAL, not SMTO_BLOCK:
// while it waits, this thread still handles the messages sent to it, so a
// peer that sends a request while it handles this frame is still answered.
void sendFrame(HWND target, const std::string& frame) {
    COPYDATASTRUCT data{};
    data.dwData = 0;
    data.cbData = static_cast<DWORD>(frame.size());
    data.lpData = const_cast<char*>(frame.data());
    DWORD_PTR result = 0;
    SendMessageTimeoutA(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                        SMTO_NORMAL | SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
}

void dispatchReply(HWND peer, std::int32_t requestId, std::string payload) {
    for (auto record = pendingReplies.begin(); record != pendingReplies.end(); ++record) {
        if (record->peer != peer) {
            continue;
        }
        for (auto waiter = record->waiters.begin(); waiter != record->waiters.end(); ++waiter) {
            if (waiter->requestId != requestId) {
                continue;
            }
            // Take the waiter out before calling it: the callback may send
            // frames, and a frame delivered meanwhile may change the registry.
            std::function<void(std::string)> callback = std::move(waiter->callback);
            record->waiters.erase(waiter);
            if (record->waiters.empty()) {
                pendingReplies.erase(record);
            }
            if (callback) {
                callback(std::move(payload));
            }
            return;
        }
        return;  // only the first record of a peer is searched
    }
}

int frameDepth = 0;  // frames being handled, nested inside one another

struct DepthGuard {
    DepthGuard() { ++frameDepth; }
    ~DepthGuard() { --frameDepth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};

// Splits no further than a frame needs: one piece beyond the count that a
// well-formed frame has is enough to refuse it.
void handleFrame(std::string_view text) {
    const std::vector<std::string_view> parts = splitPieces(text, kHeaderSeparator, 3);
    if (parts.size() != 2) {
        return;
    }
    const std::vector<std::string_view> header = splitPieces(parts[0], kFieldSeparator, 3);
    if (header.size() != 2) {
        return;
    }
    const std::optional<HWND> peer = readHandle(header[0]);
    if (!peer) {
        return;
    }
    if (header[1] == kRequestKind) {
        const std::vector<std::string_view> body = splitPieces(parts[1], kFieldSeparator, 4);
        if (commandHandler != nullptr && body.size() == 3) {
            commandHandler(*peer, readInteger(body[0]), std::string(body[1]), readInteger(body[2]));
        }
    } else if (header[1] == kReplyKind) {
        const std::vector<std::string_view> body = splitPieces(parts[1], kFieldSeparator, 3);
        if (body.size() == 2) {
            dispatchReply(*peer, readInteger(body[0]), std::string(body[1]));
        }
    }
}

}  // namespace

std::vector<std::string_view> splitPieces(std::string_view text, std::string_view delimiter,
                                          std::size_t limit) {
    std::vector<std::string_view> pieces;
    if (text.empty() || limit == 0) {
        return pieces;
    }
    const std::size_t width = delimiter.size();
    std::size_t start = 0;
    while (width > 0) {
        const std::size_t found = text.find(delimiter, start);
        if (found == std::string_view::npos) {
            break;
        }
        pieces.push_back(text.substr(start, found - start));
        start = found + width;
        if (pieces.size() == limit) {
            return pieces;
        }
    }
    if (start < text.size()) {
        pieces.push_back(text.substr(start));
    }
    return pieces;
}

std::vector<std::string> splitOnDelimiter(std::string_view text, std::string_view delimiter) {
    const std::vector<std::string_view> views =
        splitPieces(text, delimiter, std::numeric_limits<std::size_t>::max());
    return std::vector<std::string>(views.begin(), views.end());
}

std::optional<HWND> readHandle(std::string_view field) {
    std::size_t position = skipBlanks(field, 0);
    bool negative = false;
    if (position < field.size() && (field[position] == '+' || field[position] == '-')) {
        negative = field[position] == '-';
        ++position;
    }
    // A "0x" prefix counts only when a hexadecimal digit follows it; otherwise
    // the "0" is the number and reading stops at the "x".
    if (position + 2 < field.size() && field[position] == '0' &&
        (field[position + 1] == 'x' || field[position + 1] == 'X') &&
        hexDigitValue(field[position + 2]) >= 0) {
        position += 2;
    }
    std::uint64_t value = 0;
    bool anyDigit = false;
    bool overflow = false;
    while (position < field.size()) {
        const int digit = hexDigitValue(field[position]);
        if (digit < 0) {
            break;
        }
        anyDigit = true;
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) {
            overflow = true;
        }
        value = (value << 4) | static_cast<std::uint64_t>(digit);
        ++position;
    }
    if (!anyDigit) {
        return std::nullopt;
    }
    if (overflow) {
        value = std::numeric_limits<std::uint64_t>::max();
    } else if (negative) {
        value = ~value + 1;  // as the stream reading does: negated modulo 2^64
    }
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
}

std::int32_t readInteger(std::string_view field) {
    std::size_t position = skipBlanks(field, 0);
    bool negative = false;
    if (position < field.size() && (field[position] == '+' || field[position] == '-')) {
        negative = field[position] == '-';
        ++position;
    }
    // Accumulate the magnitude, stopping its growth once it is past the
    // 32-bit range so that long digit strings cannot overflow.
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    while (position < field.size() && isDecimalDigit(field[position])) {
        if (magnitude <= limit) {
            magnitude = magnitude * 10 + (field[position] - '0');
        }
        ++position;
    }
    if (negative) {
        return magnitude >= limit ? std::numeric_limits<std::int32_t>::min()
                                  : static_cast<std::int32_t>(-magnitude);
    }
    return magnitude >= limit ? std::numeric_limits<std::int32_t>::max()
                              : static_cast<std::int32_t>(magnitude);
}

double readNumber(std::string_view field) {
    std::size_t position = skipBlanks(field, 0);
    bool negative = false;
    if (position < field.size() && (field[position] == '+' || field[position] == '-')) {
        negative = field[position] == '-';
        ++position;
    }
    // Find the longest prefix of the form digits [. digits] [e [sign] digits]
    // with at least one mantissa digit, then convert exactly that prefix.
    const std::size_t start = position;
    std::size_t mantissaDigits = 0;
    while (position < field.size() && isDecimalDigit(field[position])) {
        ++position;
        ++mantissaDigits;
    }
    if (position < field.size() && field[position] == '.') {
        std::size_t after = position + 1;
        std::size_t fractionDigits = 0;
        while (after < field.size() && isDecimalDigit(field[after])) {
            ++after;
            ++fractionDigits;
        }
        if (mantissaDigits + fractionDigits > 0) {
            position = after;
            mantissaDigits += fractionDigits;
        }
    }
    if (mantissaDigits == 0) {
        return 0.0;
    }
    if (position < field.size() && (field[position] == 'e' || field[position] == 'E')) {
        std::size_t after = position + 1;
        if (after < field.size() && (field[after] == '+' || field[after] == '-')) {
            ++after;
        }
        if (after < field.size() && isDecimalDigit(field[after])) {
            while (after < field.size() && isDecimalDigit(field[after])) {
                ++after;
            }
            position = after;
        }
    }
    const char* first = field.data() + start;
    const char* last = field.data() + position;
    double value = 0.0;
    const std::from_chars_result result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // The prefix is well formed, so out of range means overflow or
        // underflow; the decimal order of the first significant digit tells
        // which.
        value = decimalOrder(first, last) > 0 ? std::numeric_limits<double>::max() : 0.0;
    } else if (result.ec != std::errc{}) {
        value = 0.0;
    }
    return negative ? -value : value;
}

std::string formatHandle(HWND handle) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::uint64_t value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
    std::string text(16, '0');
    for (int index = 15; index >= 0; --index) {
        text[static_cast<std::size_t>(index)] = digits[value & 0xF];
        value >>= 4;
    }
    return text;
}

void onCopyData(HWND receiver, const COPYDATASTRUCT* data) {
    if (receiver == nullptr || receiver != helperWindow) {
        return;
    }
    if (data == nullptr || data->lpData == nullptr || data->cbData == 0 || data->cbData > kMaxFrameBytes) {
        return;
    }
    // A peer that answers every frame with a new request nests this handler
    // inside the send of the frame before: past the bound, drop the request.
    if (frameDepth >= kMaxFrameDepth) {
        return;
    }
    const DepthGuard depth;
    // The frame is the bytes up to the first NUL, never more than cbData.
    // The sender's buffer is lent for the whole call: read it in place.
    const char* bytes = static_cast<const char*>(data->lpData);
    const void* nul = std::memchr(bytes, '\0', data->cbData);
    const std::size_t length = nul != nullptr
                                   ? static_cast<std::size_t>(static_cast<const char*>(nul) - bytes)
                                   : static_cast<std::size_t>(data->cbData);
    try {
        handleFrame(std::string_view(bytes, length));
    } catch (const std::bad_alloc&) {
        // Out of memory while handling one frame: drop the frame; nothing may
        // leave the window procedure.
    }
}

std::string formatRequestFrame(HWND sender, std::int32_t command, std::string_view payload,
                               std::optional<std::int32_t> requestId) {
    std::string frame = formatHandle(sender);
    frame.append(kFieldSeparator).append(kRequestKind).append(kHeaderSeparator);
    frame.append(std::to_string(command)).append(kFieldSeparator);
    frame.append(payload).append(kFieldSeparator);
    if (requestId) {
        frame.append(std::to_string(*requestId));
    }
    return frame;
}

std::string formatReplyFrame(HWND sender, std::int32_t requestId, std::string_view payload) {
    std::string frame = formatHandle(sender);
    frame.append(kFieldSeparator).append(kReplyKind).append(kHeaderSeparator);
    frame.append(std::to_string(requestId)).append(kFieldSeparator);
    frame.append(payload);
    return frame;
}

int sendRequest(HWND target, std::string_view payload) {
    if (target == nullptr || !IsWindow(target)) {
        return -1;
    }
    sendFrame(target, formatRequestFrame(helperWindow, kAnnouncementCommand, payload, std::nullopt));
    return 0;
}

void sendReply(HWND target, std::int32_t requestId, std::string_view payload) {
    // The sender field is whatever the peer wrote: never let it make the
    // reply a broadcast to every top-level window, and skip handles that name
    // no window.
    if (target == nullptr || target == HWND_BROADCAST || !IsWindow(target)) {
        return;
    }
    sendFrame(target, formatReplyFrame(helperWindow, requestId, payload));
}

void resetChannelState() {
    pendingReplies.clear();
    frameDepth = 0;
    commandHandler = nullptr;
    helperWindow = nullptr;
}

}  // namespace kestra
