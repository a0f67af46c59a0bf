// In-process harness: the plugin's code linked into the test, started
// through the host exactly as the simulator starts a module.
#pragma once

#include <gtest/gtest.h>

#include "host/Host.h"
#include "plugin/Lifecycle.h"

namespace velmir::test {

inline host::PluginEntryPoints LinkedPlugin() {
    host::PluginEntryPoints entries;
    entries.start = &PluginStart;
    entries.stop = &PluginStop;
    entries.enable = &PluginEnable;
    entries.disable = &PluginDisable;
    entries.receiveMessage = &PluginReceiveMessage;
    return entries;
}

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
