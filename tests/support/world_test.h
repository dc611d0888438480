// The world as a GoogleTest fixture: each test starts in the clean world,
// and what it leaves running ends with it.
#pragma once

#include <gtest/gtest.h>

#include "world.h"

class WorldTest : public ::testing::Test, public World {
protected:
    void SetUp() override { ASSERT_TRUE(LayOut()) << "the clean world could not be laid out"; }
    void TearDown() override { EndAll(); }
};
