#include <gtest/gtest.h>

#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "emu/BenchTest.hpp"

namespace quenfold::orvalis::emu {
namespace {

class Placement : public BenchTest {};

// Each ioctl bounces between the thread calling libusb and the testbed's
// thread a dozen times: on two cores every bounce wakes the other core.
TEST_F(Placement, TheTestbedsThreadRunsOnTheOneCoreOfTheThreadThatMadeIt) {
    const char* pin = std::getenv("ORVAEMU_PIN");
    if (pin && std::strcmp(pin, "0") == 0) {
        GTEST_SKIP() << "ORVAEMU_PIN=0 leaves the threads where the scheduler puts them";
    }
    bench().addDongle("EMU0");
    cpu_set_t mine;
    ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);
    EXPECT_EQ(CPU_COUNT(&mine), 1);
    int threads = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        pid_t tid = std::stoi(entry.path().filename().string());
        cpu_set_t theirs;
        ASSERT_EQ(sched_getaffinity(tid, sizeof theirs, &theirs), 0);
        EXPECT_TRUE(CPU_EQUAL(&theirs, &mine)) << "thread " << tid;
        ++threads;
    }
    // This one and at least the testbed's.
    EXPECT_GE(threads, 2);
}

}  // namespace
}  // namespace quenfold::orvalis::emu
