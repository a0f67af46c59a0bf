// What `velmir-client inject` writes and sends besides the scenario: the
// slot folders the plugin loads aircraft from, and the simulated poor network.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/Geo.h"
#include "client/Scenario.h"

using namespace velmir::client;

namespace {

struct TempFolder {
    std::filesystem::path Path;
    TempFolder() {
        char pattern[] = "/tmp/velmir-client-test-XXXXXX";
        Path = ::mkdtemp(pattern);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
};

std::vector<std::string> Lines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

// ------------------------------------------------------------ slot folders --

TEST(ClientSlotFolder, WritesObjectListCogAndObjectsThePluginCanRead) {
    TempFolder temp;
    std::string error;
    ASSERT_TRUE(WriteSlotFolder(temp.Path.string(), 7, error)) << error;
    const std::filesystem::path folder = temp.Path / "Resources/plugins/Velmir/inject007";
    EXPECT_EQ(SlotFolder(temp.Path.string(), 7), folder.string());

    const auto list = Lines(folder / "object_list");
    ASSERT_FALSE(list.empty());
    for (const std::string& line : list) {
        SCOPED_TRACE(line);
        // Seven fields split at single spaces: no doubled or trailing space.
        EXPECT_EQ(line.find("  "), std::string::npos);
        EXPECT_NE(line.back(), ' ');
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        ASSERT_EQ(f.size(), 7u);
        for (int i = 1; i < 7; ++i) {
            double number;
            EXPECT_TRUE(ParseNumber(f[i], number)) << f[i];
        }

        const auto obj = Lines(folder / "objects" / f[0]);
        ASSERT_GE(obj.size(), 3u);
        EXPECT_EQ(obj[0], "I");
        EXPECT_EQ(obj[1], "800");
        EXPECT_EQ(obj[2], "OBJ");
        // The declared counts match what follows, and every index names a vertex.
        std::size_t declaredVertices = 0, declaredIndices = 0, vertices = 0, indices = 0;
        long trisCount = -1;
        for (const std::string& l : obj) {
            std::istringstream w(l);
            std::string key;
            w >> key;
            if (key == "POINT_COUNTS") {
                std::size_t lines, lights;
                w >> declaredVertices >> lines >> lights >> declaredIndices;
            } else if (key == "VT") {
                ++vertices;
            } else if (key == "IDX") {
                std::size_t index;
                w >> index;
                EXPECT_LT(index, declaredVertices);
                ++indices;
            } else if (key == "TRIS") {
                long offset;
                w >> offset >> trisCount;
                EXPECT_EQ(offset, 0);
            }
        }
        EXPECT_EQ(vertices, declaredVertices);
        EXPECT_EQ(indices, declaredIndices);
        EXPECT_EQ(trisCount, static_cast<long>(indices));
        EXPECT_EQ(indices % 3, 0u);
    }

    const auto cog = Lines(folder / "cog");
    ASSERT_FALSE(cog.empty());
    std::istringstream numbers(cog[0]);
    std::vector<std::string> values;
    for (std::string w; numbers >> w;) values.push_back(w);
    EXPECT_EQ(values.size(), 3u);

    // No temporary files stay behind.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();

    EXPECT_FALSE(WriteSlotFolder(temp.Path.string(), 0, error));
    EXPECT_FALSE(WriteSlotFolder(temp.Path.string(), 41, error));
    EXPECT_FALSE(WriteSlotFolder("/proc/velmir-cannot-write-here", 1, error));
}

// -------------------------------------------------------------- impairment --

TEST(ClientImpairment, LatencyJitterAndLoss) {
    const std::uint8_t datagram[3] = {1, 2, 3};

    ImpairedLink direct(Impairment{});
    direct.Submit(datagram, 3, 10.0);
    EXPECT_EQ(direct.TakeDue(10.0).size(), 1u);

    ImpairedLink late(Impairment{100, 0, 0});
    late.Submit(datagram, 3, 10.0);
    EXPECT_TRUE(late.TakeDue(10.05).empty());
    EXPECT_EQ(late.TakeDue(10.1).size(), 1u);

    ImpairedLink lossy(Impairment{0, 0, 100});
    for (int i = 0; i < 50; ++i) lossy.Submit(datagram, 3, 1.0);
    EXPECT_EQ(lossy.Dropped(), 50u);
    EXPECT_EQ(lossy.Pending(), 0u);

    ImpairedLink half(Impairment{0, 0, 50}, 42);
    for (int i = 0; i < 1000; ++i) half.Submit(datagram, 3, 1.0);
    EXPECT_GT(half.Dropped(), 400u);
    EXPECT_LT(half.Dropped(), 600u);

    // Jitter delays each datagram within [latency, latency + jitter] and can
    // reorder them; delivery follows the due times.
    ImpairedLink jittery(Impairment{50, 200, 0}, 3);
    for (std::uint8_t i = 0; i < 100; ++i) {
        const std::uint8_t tagged[1] = {i};
        jittery.Submit(tagged, 1, 0.0);
    }
    EXPECT_TRUE(jittery.TakeDue(0.0499).empty());
    const auto all = jittery.TakeDue(0.2501);
    EXPECT_EQ(all.size(), 100u);
    bool reordered = false;
    for (std::size_t i = 1; i < all.size(); ++i) reordered |= all[i][0] < all[i - 1][0];
    EXPECT_TRUE(reordered);
}
