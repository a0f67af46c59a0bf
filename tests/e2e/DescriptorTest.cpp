// A simulator that already holds more than a thousand files: the plugin's
// socket then gets a descriptor above select()'s FD_SETSIZE (1024), and the
// plugin must still send.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "e2e/Harness.h"

namespace velmir::e2e {
namespace {

constexpr int FirstFreeDescriptorWanted = 1100;

class HighDescriptor : public PluginTest {
  protected:
    void Configure() override {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur < 2048 && limit.rlim_max >= 2048) {
            limit.rlim_cur = 2048;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        for (;;) {
            const int fd = open("/dev/null", O_RDONLY);
            if (fd < 0) break;
            held_.push_back(fd);
            if (fd >= FirstFreeDescriptorWanted) break;
        }
    }
    void TearDown() override {
        PluginTest::TearDown();
        for (int fd : held_) close(fd);
    }
    std::vector<int> held_;
};

TEST_F(HighDescriptor, ReportsStillGoOut) {
    ASSERT_FALSE(held_.empty());
    ASSERT_GE(held_.back(), FirstFreeDescriptorWanted) << "could not open enough files";
    ConnectClient();
    received.clear();
    Pump(1.0);
    EXPECT_GE(OfType(4).size(), 9u) << "position reports, ten a second";
}

}  // namespace
}  // namespace velmir::e2e
