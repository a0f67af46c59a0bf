// In-process harness: the plugin's code linked into the test, started
// through the host exactly as the simulator starts a module.
#pragma once

#include "tests/support/LinkedPlugin.h"
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
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

// A datagram of `length` bytes from literal bytes: as much of a valid header
// as fits, then the aircraft index at byte 24.
inline std::vector<std::uint8_t> Wire(std::uint8_t type, std::size_t length,
                                      std::uint8_t index = 0) {
    std::vector<std::uint8_t> d(std::max<std::size_t>(length, 25), 0);
    d[0] = 0x0B;
    d[21] = 0x0F;
    d[22] = 0x52;
    d[23] = type;
    d[24] = index;
    d.resize(length);
    return d;
}

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
