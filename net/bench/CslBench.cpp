// The CSL collection's costs on a generated collection of 5,000 models in
// 300 packages: reading it all (goal < 2 s), one match (< 10 µs), filling
// a slot from the bake cache (< 50 ms).
//   velmir_net_benchmarks --benchmark_filter=Csl
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "net/csl/Match.h"
#include "net/csl/Package.h"
#include "net/csl/Source.h"

namespace velmir::net::csl {
namespace {

namespace fs = std::filesystem;

const char* const Types[] = {"A319", "A320", "A321", "A20N", "A21N", "A332", "A333", "A359",
                             "A388", "B736", "B737", "B738", "B739", "B38M", "B744", "B752",
                             "B763", "B772", "B77W", "B788", "B789", "E170", "E190", "E195",
                             "CRJ2", "CRJ9", "DH8D", "AT72", "C172", "PA28"};

void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// An object of a few hundred lines with the usual gear, flap and light
// animations, as CSL objects have.
std::string Shape(int seed) {
    std::string text = "I\n800\nOBJ\nTEXTURE shape.png\nPOINT_COUNTS 120 0 0 120\n";
    char line[96];
    for (int i = 0; i < 120; ++i) {
        std::snprintf(line, sizeof line, "VT %d %.2f %d 0 1 0 0.5 0.5\n", i % 7 - 3,
                      (i * 37 + seed) % 50 / 10.0 - 2.0, i % 11 - 5);
        text += line;
    }
    for (int i = 0; i < 120; i += 10)
        text += "IDX10 " + [&] {
            std::string s;
            for (int k = 0; k < 10; ++k) s += std::to_string(i + k) + (k < 9 ? " " : "");
            return s;
        }() + "\n";
    text +=
        "TRIS 0 60\nANIM_begin\n"
        "ANIM_rotate 1 0 0 0 95 0 1 libxplanemp/controls/gear_ratio\n"
        "ANIM_trans_begin libxplanemp/controls/gear_ratio\nANIM_trans_key 0 0 0 0\n"
        "ANIM_trans_key 1 0 -1 0\nANIM_trans_end\nTRIS 60 30\nANIM_end\n"
        "ANIM_begin\nANIM_rotate 0 0 1 0 360 0 360 "
        "libxplanemp/engines/prop_rotation_angle_deg\nANIM_keyframe_loop 360\nTRIS 90 15\n"
        "ANIM_end\nANIM_begin\nANIM_hide 0 0 libxplanemp/controls/landing_lites_on\n"
        "TRIS 105 15\nANIM_end\n";
    return text;
}

// 20 shape packages of 15 types' objects, 280 paint packages of 17 or 18
// models each (5,000 in all) that use a shape package's objects.
struct Scratch {
    std::string Root;
    ~Scratch() {
        std::error_code ignored;
        if (!Root.empty()) fs::remove_all(Root, ignored);
    }
};

std::string MakeCollection() {
    static Scratch scratch;
    std::string& root = scratch.Root;
    if (!root.empty()) return root;
    std::string pattern = (fs::temp_directory_path() / "velmir-csl-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return "";
    root = pattern;
    const int typeCount = static_cast<int>(std::size(Types));
    for (int s = 0; s < 20; ++s) {
        const fs::path folder = fs::path(root) / "csl" / ("shapes" + std::to_string(s));
        std::string xsb = "EXPORT_NAME Shapes" + std::to_string(s) + "\n";
        for (int k = 0; k < 15; ++k) {
            const std::string type = Types[(s + k) % typeCount];
            Write(folder / type / (type + ".obj"), Shape(s * 15 + k));
            Write(folder / type / "shape.png", "png");
        }
        Write(folder / "xsb_aircraft.txt", xsb);
    }
    int model = 0;
    for (int p = 0; p < 280; ++p) {
        const int shapes = p % 20;
        const std::string name = "Paint" + std::to_string(p);
        const fs::path folder = fs::path(root) / "csl" / ("paint" + std::to_string(p));
        std::string xsb =
            "EXPORT_NAME " + name + "\nDEPENDENCY Shapes" + std::to_string(shapes) + "\n";
        const int count = p < 240 ? 18 : 17;  // 240 × 18 + 40 × 17 = 5,000
        for (int m = 0; m < count; ++m, ++model) {
            const std::string type = Types[(shapes + m % 15) % typeCount];
            char airline[4] = {static_cast<char>('A' + model % 26),
                               static_cast<char>('A' + model / 26 % 26),
                               static_cast<char>('A' + p % 26), 0};
            const std::string texture = "m" + std::to_string(m) + ".png";
            Write(folder / texture, "png");
            xsb += "OBJ8_AIRCRAFT " + name + "_" + std::to_string(m) + "\n";
            xsb += "OBJ8 SOLID YES Shapes" + std::to_string(shapes) + "/" + type + "/" + type +
                   ".obj " + name + "/" + texture + "\n";
            xsb += "VERT_OFFSET 2.5\n";
            xsb +=
                std::string("LIVERY ") + type + " " + airline + " HB-" + std::to_string(m) + "\n";
            xsb += std::string("AIRLINE ") + type + " " + airline + "\n";
        }
        Write(folder / "xsb_aircraft.txt", xsb);
    }
    return root;
}

void CslReadCollection(benchmark::State& state) {
    const std::string root = MakeCollection();
    std::size_t models = 0;
    for (auto _ : state) {
        const Collection c = ReadCollection({root + "/csl"});
        models = c.Models.size();
        if (!c.Problems.empty()) state.SkipWithError(c.Problems[0].Text().c_str());
    }
    state.counters["models"] = static_cast<double>(models);
}
BENCHMARK(CslReadCollection)->Unit(benchmark::kMillisecond)->Iterations(3);

void CslMatch(benchmark::State& state) {
    static const Collection c = ReadCollection({MakeCollection() + "/csl"});
    const Matcher matcher(c, TypeTable::BuiltIn());
    // Exact hits, operators found by the callsign, families, classes, misses.
    const Query queries[] = {{"B738", "AAA", "HB-3", "AAA12"}, {"A320", "", "", "SWR123"},
                             {"A19N", "", "", "DLH4"},         {"B737", "KLM", "", "KLM1"},
                             {"CRJ7", "", "", "N123"},         {"E145", "XYZ", "", "X"},
                             {"ZZZZ", "", "", "N1"},           {"B77L", "", "", "UAE5"}};
    std::size_t i = 0, found = 0;
    for (auto _ : state) {
        const Choice choice = matcher.Match(queries[i++ % std::size(queries)]);
        found += choice.Model != nullptr;
        benchmark::DoNotOptimize(choice);
    }
    state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}
BENCHMARK(CslMatch)->Unit(benchmark::kMicrosecond);

void CslFillSlotFromCache(benchmark::State& state) {
    const std::string root = MakeCollection();
    CslSlotSource source({root + "/csl"}, root + "/xp", BakeState::GearDown(),
                         [](const std::string&) {});
    const CslModel& model = source.Packages().Models[1234];
    std::string error, folder;
    if (!source.Baked(model, folder, error)) state.SkipWithError(error.c_str());
    int slot = 0;
    for (auto _ : state) {
        if (!source.FillSlot(1 + slot++ % 40, model, error)) state.SkipWithError(error.c_str());
    }
}
BENCHMARK(CslFillSlotFromCache)->Unit(benchmark::kMillisecond);

void CslBakeOneModel(benchmark::State& state) {
    const std::string root = MakeCollection();
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string xp = root + "/xp-bake" + std::to_string(round++);
        CslSlotSource source({root + "/csl"}, xp, BakeState::GearDown(), [](const std::string&) {});
        std::string error, folder;
        state.ResumeTiming();
        if (!source.Baked(source.Packages().Models[99], folder, error))
            state.SkipWithError(error.c_str());
    }
}
BENCHMARK(CslBakeOneModel)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace velmir::net::csl
