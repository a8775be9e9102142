// Test main shared by every suite: a listener fails any test that leaves
// views alive, so a leak is reported by the test that caused it.
#include <gtest/gtest.h>

#include "ztview.h"

namespace {

class LiveViewCheck : public testing::EmptyTestEventListener {
  public:
    void OnTestStart(const testing::TestInfo &) override { before_ = ztview_live_count(nullptr); }
    void OnTestEnd(const testing::TestInfo &info) override
    {
        long after = ztview_live_count(nullptr);
        if (after != before_)
            ADD_FAILURE() << info.test_suite_name() << "." << info.name() << " left "
                          << (after - before_) << " view(s) alive";
    }

  private:
    long before_ = 0;
};

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new LiveViewCheck);
    return RUN_ALL_TESTS();
}
