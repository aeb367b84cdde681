#pragma once
// Assertions on log and output text; a failure shows the text searched.

#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace ferrule_test {

inline ::testing::AssertionResult contains(const std::string &text, const std::string &part) {
    if (text.find(part) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "\"" << part << "\" not in:\n" << text;
}

// Exactly once, as a line said once a minute or once a call.
inline ::testing::AssertionResult contains_once(const std::string &text, const std::string &part) {
    const std::size_t n = count_of(text, part);
    if (n == 1) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << n << " times \"" << part << "\" in:\n" << text;
}

} // namespace ferrule_test
