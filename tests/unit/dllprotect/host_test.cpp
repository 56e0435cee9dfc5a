#include "dllprotect/host.h"

#include <gtest/gtest.h>

#include "dllprotect/engine.h"
#include "unit/dllprotect/protect_machine.h"

namespace {

using namespace dllprotect;

class Host : public protect_machine {};

TEST_F(Host, TheSessionRunsTheEngineUntilItIsReleased) {
    {
        auto session = host_start(supervisor_options, supervisor_host_name);
        ASSERT_TRUE(session.has_value());
        EXPECT_TRUE(engine().engine_active);
        EXPECT_TRUE(machine.interception.attached);
        EXPECT_EQ(engine().process_name, L"CorvelWardex");
        EXPECT_NE(engine().queue, nullptr);

        // One engine per process: a second host cannot register its callback.
        auto second = host_start(supervisor_options, supervisor_host_name);
        ASSERT_FALSE(second.has_value());
        EXPECT_EQ(second.error().message, L"DllProtectSetEventsCbk failed");
        EXPECT_TRUE(engine().engine_active);

        // A moved session stops the engine once, from its new owner.
        auto moved = std::move(*session);
        EXPECT_TRUE(engine().engine_active);
    }
    EXPECT_FALSE(engine().engine_active);
    EXPECT_FALSE(machine.interception.attached);
    EXPECT_EQ(engine().queue, nullptr);
}

TEST_F(Host, AFailedStartLeavesNoWorkerBehind) {
    machine.interception.attach_result = attach_outcome::hook_failed;
    auto session = host_start(supervisor_options, supervisor_host_name);
    ASSERT_FALSE(session.has_value());
    EXPECT_EQ(session.error().message, L"DllProtectStart failed");
    EXPECT_EQ(engine().queue, nullptr);
    EXPECT_EQ(engine().callback, nullptr);
    EXPECT_FALSE(machine.interception.attached);
}

}  // namespace
