// velmir-sim, the host's command-line tool, running the host's test plugin:
// what it refuses, what it prints and the report it writes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/Host.h"
#include "support/Json.h"

namespace json = velmir::json;

namespace {

// velmir-sim and the test plugin live beside libvelmir_host.so in the build.
std::string HostDir() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&XPLMDebugString), &info) || !info.dli_fname) return "";
    const std::string lib = info.dli_fname;
    return lib.substr(0, lib.rfind('/') + 1);
}

int RunSim(const std::string& args, std::string* output = nullptr) {
    FILE* p = popen((HostDir() + "velmir-sim " + args + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[512];
    std::string out;
    while (fgets(buf, sizeof buf, p)) out += buf;
    const int status = pclose(p);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class VelmirSim : public ::testing::Test {
  protected:
    const std::string module = HostDir() + "host_testplugin.xpl";
    void SetUp() override {
        if (access((HostDir() + "velmir-sim").c_str(), X_OK) != 0 ||
            access(module.c_str(), R_OK) != 0)
            GTEST_SKIP() << "velmir-sim not built";
    }
};

TEST_F(VelmirSim, RefusesBadCommandLinesWithStatus2) {
    const std::string bad[] = {"--fps 0",
                               "--aircraft jet",
                               "--seconds",
                               "--seconds -1",
                               "--centre 95 8",
                               "--centre 47",
                               "--radius 50",
                               "--report",
                               "--no-such-option",
                               "--plugin /nonexistent.xpl",
                               "--plugin " + module + " --root /nonexistent"};
    for (const std::string& args : bad) EXPECT_EQ(RunSim(args), 2) << args;
    std::string out;
    EXPECT_EQ(RunSim("--version", &out), 0);
    EXPECT_NE(out.find('.'), std::string::npos) << out;
}

TEST_F(VelmirSim, RunsTheModuleThenWritesTheReportAfterItStopped) {
    const std::string file = std::filesystem::temp_directory_path() /
                             ("velmir-sim-report-" + std::to_string(getpid()) + ".json");
    std::string out;
    ASSERT_EQ(
        RunSim("--plugin " + module + " --seconds 2 --fast --root /tmp --report " + file, &out), 0)
        << out;
    EXPECT_NE(out.find("HostTestPlugin: stop\n"), std::string::npos) << out;
    EXPECT_NE(out.find("unloaded: yes; flight loops left: 0"), std::string::npos) << out;

    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    std::remove(file.c_str());
    nlohmann::json document;
    ASSERT_NO_THROW(document = json::Parse(text.str())) << text.str();
    const json::View j(document);
    EXPECT_EQ(j["plugin"]["name"].Text(), "HostTestPlugin");
    EXPECT_EQ(j["run"]["frames"].Number(), 120);
    ASSERT_FALSE(j["log"].Items().empty());
    EXPECT_EQ(j["log"].Items().back().Text(), "HostTestPlugin: stop")
        << "the log as it was after stopping";
    EXPECT_TRUE(j["afterStop"]["unloaded"].Bool());

    EXPECT_EQ(RunSim("--plugin " + module + " --fast --seconds 1 --report /nonexistent/r.json"), 1);
    ASSERT_EQ(RunSim("--plugin " + module + " --seconds 1 --fast --quiet", &out), 0);
    EXPECT_EQ(out, "");
}

// A relative --plugin path is looked for inside --root when it is not here.
TEST_F(VelmirSim, FindsARelativePluginInsideTheSimulatorFolder) {
    namespace fs = std::filesystem;
    const fs::path root =
        fs::temp_directory_path() / ("velmir-sim-root-" + std::to_string(getpid()));
    fs::create_directories(root / "Resources/plugins/Test/64");
    fs::copy_file(module, root / "Resources/plugins/Test/64/test.xpl");
    std::string out;
    EXPECT_EQ(RunSim("--plugin Resources/plugins/Test/64/test.xpl --root " + root.string() +
                         " --seconds 1 --fast",
                     &out),
              0)
        << out;
    fs::remove_all(root);
}

}  // namespace
