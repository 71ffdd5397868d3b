#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "emu/Bench.hpp"

namespace quenfold::orvalis::emu {

// A GoogleTest fixture with a fresh emulated bench for every test. The test
// binary runs under LD_PRELOAD=libumockdev-preload.so.0 (ctest sets it for the
// emulated tests). Close every libusb handle and context the test opened
// before the test body ends: the bench goes away in TearDown.
class BenchTest : public ::testing::Test {
  protected:
    void SetUp() override { bench_ = std::make_unique<Bench>(); }
    void TearDown() override { bench_.reset(); }

    Bench& bench() { return *bench_; }

  private:
    std::unique_ptr<Bench> bench_;
};

}  // namespace quenfold::orvalis::emu
