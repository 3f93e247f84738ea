// The protocol's text: handles, numbers, request frames and the two frames a
// controller reads (the announcement and replies). Numbers are written
// without the C locale's help, so that a controller running under a locale
// with ',' as the decimal point still writes '.'.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kestra/client.h"

namespace kestra::protocol {

namespace {

constexpr std::string_view kFieldSeparator = "[.2.]";
constexpr std::string_view kHeaderSeparator = "[.1.]";

// Reads exactly 16 hexadecimal digits (either case) at the start of text.
std::optional<std::uint64_t> readHandleField(std::string_view text) {
    if (text.size() < 16) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + 16, value, 16);
    if (error != std::errc() || end != text.data() + 16) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string formatHandle(HWND window) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(window));
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
        value >>= 4;
    }
    return text;
}

std::string formatNumber(double value) {
    // to_chars is locale-independent and gives the shortest text that reads
    // back to the same double; fixed notation keeps exponents out.
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed);
    if (error != std::errc()) {
        return "0";
    }
    return std::string(buffer, end);
}

std::string requestFrame(HWND sender, int command, std::string_view payload, int requestId) {
    std::string frame = formatHandle(sender);
    frame += kFieldSeparator;
    frame += "REQ";
    frame += kHeaderSeparator;
    frame += std::to_string(command);
    frame += kFieldSeparator;
    frame += payload;
    frame += kFieldSeparator;
    frame += std::to_string(requestId);
    return frame;
}

std::string darkPayload(HWND target, bool on) {
    return formatHandle(target) + (on ? "|1" : "|0");
}

std::string glassPayload(HWND target, const GlassSettings& s) {
    std::string payload = formatHandle(target);
    for (const std::string& field :
         {std::to_string(s.radius), formatNumber(s.brightness), std::string(s.wallpaperOnly ? "1" : "0"),
          formatNumber(s.contentOpacity), std::string(s.glassDarkMode ? "1" : "0"),
          formatNumber(s.photoOpacity), formatNumber(s.foregroundOpacity)}) {
        payload += ',';
        payload += field;
    }
    return payload;
}

std::string handlePayload(HWND target) {
    return formatHandle(target);
}

std::string valuePayload(HWND target, std::string_view value) {
    std::string payload = formatHandle(target);
    payload += ',';
    payload += value;
    return payload;
}

std::optional<int> replyId(std::string_view frame) {
    if (!readHandleField(frame)) {
        return std::nullopt;
    }
    frame.remove_prefix(16);
    const std::string header = std::string(kFieldSeparator) + "RET" + std::string(kHeaderSeparator);
    if (frame.substr(0, header.size()) != header) {
        return std::nullopt;
    }
    frame.remove_prefix(header.size());
    const std::size_t end = frame.find(kFieldSeparator);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    int id = 0;
    const auto [last, error] = std::from_chars(frame.data(), frame.data() + end, id);
    if (error != std::errc() || last != frame.data() + end) {
        return std::nullopt;
    }
    return id;
}

std::optional<HWND> announcedWindow(std::string_view frame) {
    const std::optional<std::uint64_t> first = readHandleField(frame);
    if (!first) {
        return std::nullopt;
    }
    const std::string text(frame.substr(0, 16));
    const std::string expected = text + std::string(kFieldSeparator) + "REQ" + std::string(kHeaderSeparator) +
                                 "3" + std::string(kFieldSeparator) + text + std::string(kFieldSeparator);
    if (frame != expected) {
        return std::nullopt;
    }
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(*first));
}

}  // namespace kestra::protocol
