#pragma once
#include <cstdio>

#include <gtest/gtest.h>

#include "support/Desk.h"

namespace e2e {

// A test on a desk of its own: the desk opens before the test, and `sablix` stops after it, its
// log shown when the test failed.
class DeskTest : public ::testing::Test, protected Desk {
protected:
    void SetUp() override { ASSERT_TRUE(open()); }
    void TearDown() override {
        if (HasFailure()) std::fprintf(stderr, "--- sablix log ---\n%s\n", session.log().c_str());
        session.stop();
    }
};

}  // namespace e2e
