// Checks the simulated desktop's call log against a table of expected calls,
// in the manner of message-sequence tables: each row names a function and,
// where it matters, the window and the code (the show command, the flags, the
// installed-or-removed bit) the call must carry. A mismatch reports the row
// and both sequences.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/desktop.h"
#include "platform/win32.h"

namespace kestra::testing {

struct ExpectedCall {
    std::string function;
    std::optional<std::int64_t> code{};  // empty: any
    HWND window = nullptr;               // null: any
};

enum class CallOrder {
    exact,    // the calls are exactly the rows, one for one
    inOrder,  // the rows occur in this order; other calls between them are ignored
};

// The logged calls about `window`, of `function` only when one is named.
inline std::vector<sim::CallEntry> callsAbout(const sim::CallLog& log, HWND window,
                                              std::string_view function = {}) {
    std::vector<sim::CallEntry> calls;
    for (const sim::CallEntry& entry : log.entries()) {
        if (entry.window == window && (function.empty() || entry.function == function)) {
            calls.push_back(entry);
        }
    }
    return calls;
}

namespace detail {

inline bool callMatches(const sim::CallEntry& entry, const ExpectedCall& row) {
    return entry.function == row.function && (!row.code || entry.code == *row.code) &&
           (row.window == nullptr || entry.window == row.window);
}

inline std::string describeCalls(const std::vector<sim::CallEntry>& calls) {
    std::ostringstream out;
    for (const sim::CallEntry& entry : calls) {
        out << "\n    " << entry.function << " code " << entry.code << " window " << entry.window;
    }
    return calls.empty() ? "\n    (none)" : out.str();
}

inline std::string describeRows(const std::vector<ExpectedCall>& rows) {
    std::ostringstream out;
    for (const ExpectedCall& row : rows) {
        out << "\n    " << row.function;
        if (row.code) {
            out << " code " << *row.code;
        }
        if (row.window != nullptr) {
            out << " window " << row.window;
        }
    }
    return rows.empty() ? "\n    (none)" : out.str();
}

}  // namespace detail

inline ::testing::AssertionResult callSequence(const std::vector<sim::CallEntry>& calls,
                                               const std::vector<ExpectedCall>& expected,
                                               CallOrder order = CallOrder::exact) {
    const auto failure = [&](const std::string& what) {
        return ::testing::AssertionFailure() << what << "\n  expected:" << detail::describeRows(expected)
                                             << "\n  logged:" << detail::describeCalls(calls);
    };
    std::size_t next = 0;
    for (std::size_t row = 0; row < expected.size(); ++row) {
        if (order == CallOrder::exact) {
            if (next >= calls.size()) {
                return failure("row " + std::to_string(row) + " (" + expected[row].function +
                               ") was not called");
            }
            if (!detail::callMatches(calls[next], expected[row])) {
                return failure("row " + std::to_string(row) + " (" + expected[row].function + ") differs");
            }
            ++next;
            continue;
        }
        while (next < calls.size() && !detail::callMatches(calls[next], expected[row])) {
            ++next;
        }
        if (next >= calls.size()) {
            return failure("row " + std::to_string(row) + " (" + expected[row].function +
                           ") was not called after the rows before it");
        }
        ++next;
    }
    if (order == CallOrder::exact && next != calls.size()) {
        return failure(std::to_string(calls.size() - next) + " more calls than rows");
    }
    return ::testing::AssertionSuccess();
}

}  // namespace kestra::testing
