// In-process harness: the plugin's code linked into the test, started
// through the host exactly as the simulator starts a module.
#pragma once

#include "tests/support/LinkedPlugin.h"
#include <gtest/gtest.h>

#include "host/Host.h"
#include "plugin/Lifecycle.h"

namespace velmir::test {

class InProcessTest : public ::testing::Test {
  protected:
    host::Session session;

    void SetUp() override { host::SetLogEcho(false); }
    void TearDown() override {
        if (host::Plugin().started) host::StopPlugin();
    }
    void StartPlugin() {
        host::AttachPlugin(LinkedPlugin());
        ASSERT_EQ(host::StartPlugin(), 1);
    }
};

}  // namespace velmir::test
