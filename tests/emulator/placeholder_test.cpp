#include <gtest/gtest.h>
TEST(EmulatorPlaceholder, Builds) { SUCCEED(); }
