#include <gtest/gtest.h>

#include "app/log.h"

TEST(Log, Smoke) {
    CSmartLogger logger;
    EXPECT_EQ(logger.Flush(), 0);
}
