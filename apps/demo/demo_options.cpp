#include "demo_options.h"

#include <cctype>
#include <charconv>
#include <cstdlib>

namespace kestra::demo {

namespace {

bool readDouble(const std::string& text, double& value) {
    // from_chars reads '.' whatever the locale.
    const char* end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && last == end && !text.empty();
}

bool readInt(const std::string& text, int& value) {
    const char* end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && last == end && !text.empty();
}

bool readFlag(const std::string& text, bool& value) {
    if (text == "on" || text == "1") {
        value = true;
        return true;
    }
    if (text == "off" || text == "0") {
        value = false;
        return true;
    }
    return false;
}

Parsed failure(std::string message) {
    Parsed parsed;
    parsed.error = std::move(message);
    return parsed;
}

}  // namespace

const char* usageText() {
    return "usage: kestra-demo list\n"
           "       kestra-demo dark  <title or handle>\n"
           "       kestra-demo glass <title or handle> [--radius N] [--brightness F] [--content-opacity F]\n"
           "                         [--photo-opacity F] [--foreground-opacity F] [--wallpaper-only on|off]\n"
           "                         [--glass-dark-mode on|off]\n"
           "       kestra-demo interactive\n"
           "options for every mode: --verbose (print every frame), --start-timeout MS\n"
           "A title matches when it contains the text (any case); a handle is 0x1A2B or 16 hex digits.\n"
           "Ctrl+C ends the effect and the helper.\n";
}

std::optional<unsigned long long> readHandleArgument(const std::string& text) {
    std::string digits;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        digits = text.substr(2);
    } else if (text.size() == 16) {
        digits = text;
    } else {
        return std::nullopt;
    }
    if (digits.empty() || digits.size() > 16) {
        return std::nullopt;
    }
    unsigned long long value = 0;
    const char* end = digits.data() + digits.size();
    const auto [last, error] = std::from_chars(digits.data(), end, value, 16);
    if (error != std::errc() || last != end) {
        return std::nullopt;
    }
    return value;
}

bool titleMatches(const std::string& title, const std::string& wanted) {
    if (wanted.empty() || wanted.size() > title.size()) {
        return false;
    }
    auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    for (std::size_t start = 0; start + wanted.size() <= title.size(); ++start) {
        bool same = true;
        for (std::size_t i = 0; i < wanted.size() && same; ++i) {
            same = lower(title[start + i]) == lower(wanted[i]);
        }
        if (same) {
            return true;
        }
    }
    return false;
}

Parsed parseArguments(const std::vector<std::string>& arguments) {
    Options options;
    if (arguments.empty()) {
        return Parsed{options, {}};
    }
    const std::string& mode = arguments[0];
    std::size_t next = 1;
    if (mode == "list") {
        options.mode = Mode::List;
    } else if (mode == "dark" || mode == "glass") {
        options.mode = mode == "dark" ? Mode::Dark : Mode::Glass;
        if (arguments.size() < 2 || arguments[1].rfind("--", 0) == 0) {
            return failure(mode + ": name the window (a title substring or a handle)");
        }
        options.target = arguments[1];
        next = 2;
    } else if (mode == "interactive") {
        options.mode = Mode::Interactive;
    } else if (mode == "help" || mode == "--help" || mode == "-h") {
        options.mode = Mode::Help;
        return Parsed{options, {}};
    } else {
        return failure("unknown mode '" + mode + "'");
    }
    for (std::size_t i = next; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (i + 1 >= arguments.size()) {
            return failure(name + " needs a value");
        }
        const std::string& value = arguments[++i];
        GlassSettings& g = options.glass;
        bool ok = false;
        const bool glassOption = name != "--start-timeout";
        if (glassOption && options.mode != Mode::Glass && options.mode != Mode::Interactive) {
            return failure(name + " applies to glass only");
        }
        if (name == "--radius") {
            ok = readInt(value, g.radius);
        } else if (name == "--brightness") {
            ok = readDouble(value, g.brightness);
        } else if (name == "--content-opacity") {
            ok = readDouble(value, g.contentOpacity);
        } else if (name == "--photo-opacity") {
            ok = readDouble(value, g.photoOpacity);
        } else if (name == "--foreground-opacity") {
            ok = readDouble(value, g.foregroundOpacity);
        } else if (name == "--wallpaper-only") {
            ok = readFlag(value, g.wallpaperOnly);
        } else if (name == "--glass-dark-mode") {
            ok = readFlag(value, g.glassDarkMode);
        } else if (name == "--start-timeout") {
            int ms = 0;
            ok = readInt(value, ms) && ms > 0;
            options.startTimeoutMs = static_cast<unsigned>(ms);
        } else {
            return failure("unknown option " + name);
        }
        if (!ok) {
            return failure(name + ": cannot read '" + value + "'");
        }
    }
    return Parsed{options, {}};
}

}  // namespace kestra::demo
