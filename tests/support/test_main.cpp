#include <gtest/gtest.h>

#include "tests/support/os_hook.h"

namespace {

// Undoes any replacement a test left behind, also when it failed half-way.
class PlatformReset : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo&) override { qvtest::ResetPlatform(); }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    qvtest::SnapshotPlatform();
    testing::UnitTest::GetInstance()->listeners().Append(new PlatformReset);
    return RUN_ALL_TESTS();
}
