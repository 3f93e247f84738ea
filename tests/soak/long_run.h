// Settings of the long random runs (the helper soak and the channel fuzzer):
// a seed and a length, read from the command line first, then from the
// environment, then the defaults the test gives.
//
//   tests_soak --gtest_filter=HelperSoak.* --seed=7 --turns=10000000
//   KESTRA_SOAK_SEED=7 KESTRA_SOAK_TURNS=10000000 tests_soak --gtest_filter=HelperSoak.*
//   tests_soak --gtest_filter=ChannelFuzz.* --seed=7 --frames=10000000
//
// Without a seed anywhere, a run draws one from the time and prints it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestra::testing {

struct LongRunArguments {
    std::optional<std::uint64_t> seed;
    std::optional<std::uint64_t> turns;
    std::optional<std::uint64_t> frames;
    std::optional<std::uint64_t> progressEvery;  // print a progress line every this many turns or frames
};

// Filled by the soak's main from the arguments GoogleTest leaves.
LongRunArguments& longRunArguments();

// The seed: --seed, else the environment variable, else one drawn from the clock.
std::uint64_t longRunSeed(const char* environmentName);
// A length: the argument when given, else the environment variable, else fallback.
std::uint64_t longRunLength(const std::optional<std::uint64_t>& argument, const char* environmentName,
                            std::uint64_t fallback);

// The command line that replays a run exactly.
std::string replayLine(const char* filter, std::uint64_t seed, const char* lengthFlag, std::uint64_t length);

}  // namespace kestra::testing
