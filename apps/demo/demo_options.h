// The command line of kestra-demo: what to do, to which window, with which
// glass settings. Pure text handling, so it is tested off Windows too.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kestra/client.h"

namespace kestra::demo {

enum class Mode { Help, List, Dark, Glass, Interactive };

struct Options {
    Mode mode = Mode::Help;
    std::string target;  // title substring or handle, for dark and glass
    GlassSettings glass{};
    unsigned startTimeoutMs = 5000;
    bool verbose = false;  // print every frame
};

struct Parsed {
    std::optional<Options> options;
    std::string error;  // when options is empty
};

// Reads the arguments after the program name.
Parsed parseArguments(const std::vector<std::string>& arguments);

// Reads a window handle written as 0x1A2B or as 16 hexadecimal digits (as
// `kestra-demo list` prints it); other text is not a handle.
std::optional<unsigned long long> readHandleArgument(const std::string& text);

// Case-insensitive substring test, for matching window titles.
bool titleMatches(const std::string& title, const std::string& wanted);

const char* usageText();

}  // namespace kestra::demo
