// In-process harness: the plugin's code linked into the test, started
// through the host exactly as the simulator starts a module.
#pragma once

#include "tests/support/LinkedPlugin.h"
#include "tests/support/Wire.h"
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/Host.h"
#include "plugin/Lifecycle.h"

namespace velmir::test {

namespace fs = std::filesystem;

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

// Slot folder of a remote aircraft, relative to the simulator folder.
inline std::string Slot(int index) {
    char folder[64];
    std::snprintf(folder, sizeof folder, "Resources/plugins/Velmir/inject%03d/", index);
    return folder;
}

// The plugin in a temporary simulator folder, also the working directory:
// the plugin reads slot folders from there.
class InSimulatorFolder : public InProcessTest {
  protected:
    fs::path previous_, root_;

    void SetUp() override {
        InProcessTest::SetUp();
        char pattern[] = "/tmp/velmir-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        previous_ = fs::current_path();
        fs::current_path(root_);
        host::SetRoot(root_.string());
    }
    void TearDown() override {
        InProcessTest::TearDown();
        fs::current_path(previous_);
        fs::remove_all(root_);
    }
    void Write(const std::string& relative, const std::string& content) {
        fs::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative, std::ios::binary) << content;
    }
};

}  // namespace velmir::test
