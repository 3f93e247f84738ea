// The entry of the long-run tests: GoogleTest's flags first, then the run's
// own (--seed=, --turns=, --frames=, --progress=).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "long_run.h"

namespace kestra::testing {

// Reads "--name=<number>" into target; true when the argument was this flag.
bool readFlag(const char* argument, const char* name, std::optional<std::uint64_t>& target);

LongRunArguments& longRunArguments() {
    static LongRunArguments arguments;
    return arguments;
}

namespace {

std::optional<std::uint64_t> environmentNumber(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::strtoull(value, nullptr, 10);
}

}  // namespace

bool readFlag(const char* argument, const char* name, std::optional<std::uint64_t>& target) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') {
        return false;
    }
    target = std::strtoull(argument + length + 1, nullptr, 10);
    return true;
}

std::uint64_t longRunSeed(const char* environmentName) {
    if (longRunArguments().seed) {
        return *longRunArguments().seed;
    }
    if (const std::optional<std::uint64_t> seed = environmentNumber(environmentName)) {
        return *seed;
    }
    const auto ticks = std::chrono::system_clock::now().time_since_epoch().count();
    return static_cast<std::uint64_t>(ticks) % 1000000007u;
}

std::uint64_t longRunLength(const std::optional<std::uint64_t>& argument, const char* environmentName,
                            std::uint64_t fallback) {
    if (argument) {
        return *argument;
    }
    return environmentNumber(environmentName).value_or(fallback);
}

std::string replayLine(const char* filter, std::uint64_t seed, const char* lengthFlag, std::uint64_t length) {
    return "tests_soak --gtest_filter=" + std::string(filter) + " --seed=" + std::to_string(seed) + " --" +
           lengthFlag + "=" + std::to_string(length);
}

}  // namespace kestra::testing

int main(int argc, char** argv) {
    using kestra::testing::readFlag;
    ::testing::InitGoogleTest(&argc, argv);
    kestra::testing::LongRunArguments& arguments = kestra::testing::longRunArguments();
    for (int i = 1; i < argc; ++i) {
        if (!readFlag(argv[i], "--seed", arguments.seed) && !readFlag(argv[i], "--turns", arguments.turns) &&
            !readFlag(argv[i], "--frames", arguments.frames) &&
            !readFlag(argv[i], "--progress", arguments.progressEvery)) {
            std::fprintf(stderr, "unknown argument %s (known: --seed= --turns= --frames= --progress=)\n",
                         argv[i]);
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
