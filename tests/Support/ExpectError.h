#pragma once

// The error an action throws, so a test can look at it; a failure when it throws none.

#include <gtest/gtest.h>

#include <optional>

namespace brindlow::testing {

template <typename Error, typename Action>
std::optional<Error> errorFrom(Action&& action) {
    try {
        action();
    } catch (const Error& error) {
        return error;
    }
    ADD_FAILURE() << "no error was thrown";
    return std::nullopt;
}

}  // namespace brindlow::testing
