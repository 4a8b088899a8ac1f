#include "platform/machine_lock.h"

#include <gtest/gtest.h>

#include <thread>

using namespace nexir;

// The lock every nexir-updater of the machine shares: one holder at a time, a bounded
// wait for the others, free again once its holder lets go. The contender runs on a
// thread of its own, as a Windows mutex is taken again by the thread that holds it.
TEST(MachineLock, OneHolderAtATimeAndABoundedWait) {
    MachineLock holder, contender;
    ASSERT_TRUE(holder.acquire(std::chrono::seconds(30)));
    EXPECT_FALSE(holder.name().empty());
    bool taken = true;
    const auto contend = [&](std::chrono::milliseconds limit) {
        std::thread([&] {
            taken = contender.acquire(limit);
            contender.release();
        }).join();
    };
    const auto start = std::chrono::steady_clock::now();
    contend(std::chrono::milliseconds(200));
    EXPECT_FALSE(taken);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    holder.release();
    contend(std::chrono::seconds(30));
    EXPECT_TRUE(taken);
}
