// What join finds by itself: the simulator folder from X-Plane's installer
// files and its options from velmir-net.ini, in folders whose names are not
// ASCII, with the platform layer's folders under a fake home.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "client/Platform.h"
#include "net/join/Settings.h"

// Where this build put it (generated beside the objects).
extern const char* const VelmirNetBinary;

namespace fs = std::filesystem;
using namespace velmir;
using namespace velmir::net;

namespace {

// A fresh folder under the system's temporary one, named with letters
// past ASCII, removed afterwards; HOME and XDG_CONFIG_HOME are put back.
class JoinSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = fs::temp_directory_path() /
                platform::PathFromUtf8("velmir-settings-Zoë-" + std::to_string(::getpid()));
        fs::remove_all(base_);
        home_ = base_ / platform::PathFromUtf8("Flüge");
        fs::create_directories(home_);
        for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) {
            const char* value = std::getenv(name);
            saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
        }
        ::setenv("HOME", Utf8(home_).c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        fs::remove_all(base_);
    }
    static std::string Utf8(const fs::path& p) { return platform::PathToUtf8(p); }
    // A simulator folder with the plugin installed (or not).
    fs::path Simulator(const std::string& name, bool withPlugin) {
        const fs::path root = base_ / platform::PathFromUtf8(name);
        fs::create_directories(withPlugin ? root / "Resources" / "plugins" / "Velmir" : root);
        return root;
    }
    void Record(const std::string& file, const std::string& text) {
        fs::create_directories(home_ / ".x-plane");
        std::ofstream(home_ / ".x-plane" / file, std::ios::binary) << text;
    }
    // Runs velmir-net with this HOME; its exit code, stderr into `errors`.
    int Run(const std::string& arguments, std::string* errors = nullptr) {
        const fs::path err = base_ / "stderr";
        const std::string command = "HOME='" + Utf8(home_) + "' " + VelmirNetBinary + " " +
                                    arguments + " >/dev/null 2>'" + Utf8(err) + "'";
        const int status = std::system(command.c_str());
        if (errors) {
            std::ifstream in(err);
            std::stringstream text;
            text << in.rdbuf();
            *errors = text.str();
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path base_, home_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

TEST_F(JoinSettings, PlatformFoldersFollowHome) {
    EXPECT_EQ(platform::InstallerRecordFolder(), home_ / ".x-plane");
    EXPECT_EQ(platform::UserConfigFolder(), home_ / ".config" / "velmir");
    ::setenv("XDG_CONFIG_HOME", Utf8(base_ / "xdg").c_str(), 1);
    EXPECT_EQ(platform::UserConfigFolder(), base_ / "xdg" / "velmir");
    ::unsetenv("HOME");
    EXPECT_TRUE(platform::InstallerRecordFolder().empty());
}

TEST_F(JoinSettings, FindsTheFirstInstalledSimulatorNewestRecordFirst) {
    const fs::path eleven = Simulator("X-Plane 11 Früh", true);
    const fs::path bare = Simulator("X-Plane 12 ohne Plugin", false);
    const fs::path twelve = Simulator("X-Plane 12 Größe", true);
    // As the installer writes them on Windows: CR LF, a final separator.
    Record("x-plane_install_11.txt", Utf8(eleven) + "/\r\n");
    Record("x-plane_install_12.txt",
           "\r\n" + Utf8(base_ / "gone") + "\r\n" + Utf8(bare) + "/\r\n" + Utf8(twelve) + "/\r\n");
    std::vector<std::string> read;
    auto found = FindSimulatorRoot(platform::InstallerRecordFolder(), read);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Root, Utf8(twelve));
    EXPECT_EQ(found->From, Utf8(home_ / ".x-plane" / "x-plane_install_12.txt"));

    // Nothing usable in 12's list: 11's.
    Record("x-plane_install_12.txt", Utf8(bare) + "\n");
    read.clear();
    found = FindSimulatorRoot(platform::InstallerRecordFolder(), read);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Root, Utf8(eleven));
    EXPECT_EQ(read.size(), 2u);
}

TEST_F(JoinSettings, NoSimulatorNamesTheFilesItRead) {
    std::vector<std::string> read;
    EXPECT_FALSE(FindSimulatorRoot(platform::InstallerRecordFolder(), read));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_NE(read[0].find("x-plane_install_12.txt"), std::string::npos);
    EXPECT_NE(read[1].find("x-plane_install_11.txt"), std::string::npos);

    std::string errors;
    EXPECT_EQ(Run("join --callsign ME --broker 127.0.0.1:1", &errors), 2);
    EXPECT_NE(errors.find("no --root given"), std::string::npos) << errors;
    EXPECT_NE(errors.find(Utf8(home_ / ".x-plane" / "x-plane_install_11.txt")), std::string::npos)
        << errors;
}

TEST_F(JoinSettings, SettingsFileBesideTheProgramWins) {
    const fs::path program = base_ / platform::PathFromUtf8("Programme Ä");
    const fs::path user = home_ / ".config" / "velmir";
    fs::create_directories(program);
    EXPECT_EQ(DefaultSettingsFile(program, user), user / SettingsFileName);
    std::ofstream(program / SettingsFileName) << "[join]\n";
    EXPECT_EQ(DefaultSettingsFile(program, user), program / SettingsFileName);
    EXPECT_TRUE(DefaultSettingsFile(fs::path(), fs::path()).empty());
}

// Written by hand, the file's relative paths mean beside it, wherever
// velmir-net is started; the same text on the command line means here.
TEST_F(JoinSettings, RelativePathsInTheFileMeanBesideIt) {
    const fs::path folder = home_ / ".config" / "velmir";
    fs::create_directories(folder / "Sim" / "Resources" / "plugins" / "Velmir");
    std::ofstream(folder / "pw.txt") << "secret\n";
    std::ofstream(folder / SettingsFileName)
        << "[join]\nbroker=\"127.0.0.1:1\"\ncallsign=\"HAND1\"\nroot=\"Sim\"\n"
           "password-file=\"pw.txt\"\n";
    std::string errors;
    EXPECT_EQ(Run("join --seconds 0.3", &errors), 0) << errors;
    EXPECT_NE(Run("join --seconds 0.3 --password-file pw.txt", &errors), 0);
    EXPECT_NE(errors.find("cannot read password file 'pw.txt'"), std::string::npos) << errors;
}

TEST_F(JoinSettings, WrittenSettingsRunJoinAndTheCommandLineWins) {
    const fs::path sim = Simulator("Simulator Ærø", true);
    Record("x-plane_install_12.txt", Utf8(sim) + "\n");
    // Written from the options given, into the user's settings folder.
    std::string errors;
    // Files named relative to where it was written are kept absolute: a
    // double click starts it elsewhere.
    const fs::path password = base_ / "pw.txt";
    std::ofstream(password) << "secret\n";
    ASSERT_EQ(Run("join --broker 127.0.0.1:1 --callsign FILE1 --radius 25 --password-file '" +
                      Utf8(fs::relative(password)) + "' --write-config",
                  &errors),
              0)
        << errors;
    const fs::path ini = home_ / ".config" / "velmir" / SettingsFileName;
    std::ifstream in(ini);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str().rfind("[join]\n", 0), 0u) << text.str();
    EXPECT_NE(text.str().find("callsign=\"FILE1\""), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("radius=25"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("password-file=\"" + Utf8(password) + "\""), std::string::npos)
        << text.str();
    EXPECT_EQ(text.str().find("write-config"), std::string::npos) << text.str();

    // Nothing but the run time on the command line: the rest from the file,
    // the folder from the installer's record. Then a callsign that overrides.
    EXPECT_EQ(Run("join --seconds 0.3", &errors), 0) << errors;
    EXPECT_NE(errors.find("simulator folder " + Utf8(sim)), std::string::npos) << errors;
    EXPECT_EQ(Run("join --seconds 0.3 --callsign bad!", &errors), 2);
    EXPECT_NE(errors.find("callsign 'bad!'"), std::string::npos) << errors;

    // A named settings file that is not there is an error, not a silent default.
    EXPECT_NE(Run("--config '" + Utf8(base_ / "none.ini") + "' join --seconds 0.3"), 0);
    // A settings file with a bad value is refused like the command line.
    std::ofstream(ini, std::ios::trunc) << "[join]\nbroker=127.0.0.1:1\ncallsign=OK\nradius=0\n";
    EXPECT_EQ(Run("join --seconds 0.3", &errors), 2) << errors;
}
