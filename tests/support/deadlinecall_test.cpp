#include "support/deadlinecall.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;

enum class TCall { Returns, Hangs, Throws };
enum class TOutcome { InTime, Abandoned, Rethrown };

// Rows run in order, so that each one meets whatever the ones before left behind: a hung call
// must not hold up the calls after it.
TEST(DeadlineCallTest, ReturnsInTimeOrAbandonsAHungCall) {
    const struct {
        const char* Name;
        TCall Call;
        std::chrono::milliseconds Deadline;
        TOutcome Outcome;
    } rows[] = {
        {"a call that returns", TCall::Returns, DefaultDeadline, TOutcome::InTime},
        {"a call that hangs", TCall::Hangs, 50ms, TOutcome::Abandoned},
        {"the call after a hang", TCall::Returns, DefaultDeadline, TOutcome::InTime},
        {"a call that throws", TCall::Throws, DefaultDeadline, TOutcome::Rethrown},
        {"a second hang", TCall::Hangs, 50ms, TOutcome::Abandoned},
        {"the call after it", TCall::Returns, DefaultDeadline, TOutcome::InTime},
    };
    // The hung calls wait for this; released at the end, so that their threads finish.
    auto release = std::make_shared<std::promise<void>>();
    const std::shared_future<void> released = release->get_future().share();
    for (const auto& row : rows) {
        auto returned = std::make_shared<std::atomic<bool>>(false);
        const auto call = [kind = row.Call, released, returned] {
            if (kind == TCall::Hangs)
                released.wait();
            if (kind == TCall::Throws)
                throw std::runtime_error("failed");
            returned->store(true);
        };
        switch (row.Outcome) {
        case TOutcome::InTime:
            EXPECT_TRUE(CallWithDeadline(row.Name, call, row.Deadline)) << row.Name;
            EXPECT_TRUE(returned->load()) << row.Name;
            break;
        case TOutcome::Abandoned:
            EXPECT_FALSE(CallWithDeadline(row.Name, call, row.Deadline)) << row.Name;
            EXPECT_FALSE(returned->load()) << row.Name << ": waited for the hung call";
            break;
        case TOutcome::Rethrown:
            EXPECT_THROW(CallWithDeadline(row.Name, call, row.Deadline), std::runtime_error)
                << row.Name;
            break;
        }
    }
    release->set_value();
}

} // namespace
