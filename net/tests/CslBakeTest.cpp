// Baking CSL objects at a fixed state, read back through a small evaluator
// of OBJ8 animation, and slot folders filled from the bake cache.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <functional>
#include <random>
#include <sstream>

#include "client/Scenario.h"
#include "net/csl/Bake.h"
#include "net/csl/Source.h"
#include "net/pilot/PluginLink.h"
#include "net/tests/CslFixture.h"

namespace velmir::net::csl {
namespace {

using testing::ReadFile;
using testing::TempTree;
using testing::TinyObject;

// Where the point (1, 2, 3) is drawn at each TRIS, and whether it is hidden.
struct Pose {
    bool Hidden;
    double X, Y, Z;
};
using Values = std::function<double(const std::string&)>;

double Interpolate(const std::vector<double>& keys, const std::vector<double>& ends, double v) {
    if (keys.size() == 1 || v <= keys.front()) return ends.front();
    if (v >= keys.back()) return ends.back();
    for (std::size_t i = 0; i + 1 < keys.size(); ++i)
        if (v <= keys[i + 1])
            return ends[i] + (ends[i + 1] - ends[i]) * (v - keys[i]) / (keys[i + 1] - keys[i]);
    return ends.back();
}

std::vector<Pose> Evaluate(const std::string& text, const Values& value) {
    struct Op {
        bool Rotate;
        double A, B, C, Angle;
    };
    struct Frame {
        std::vector<Op> Ops;
        bool Hidden = false;
    };
    std::vector<Frame> stack(1);
    std::vector<Pose> poses;
    std::istringstream in(text);
    std::vector<std::vector<std::string>> lines;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        if (!w.empty()) lines.push_back(w);
    }
    auto read = [&](const std::string& dataref, std::size_t next) {
        double v = dataref == "none" ? 0.0 : value(dataref);
        if (next < lines.size() && lines[next][0] == "ANIM_keyframe_loop")
            v = std::fmod(v, std::stod(lines[next][1]));
        return v;
    };
    auto num = [](const std::string& s) { return std::stod(s); };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto& w = lines[i];
        if (w[0] == "ANIM_begin") {
            stack.push_back({{}, stack.back().Hidden});
        } else if (w[0] == "ANIM_end") {
            stack.pop_back();
        } else if (w[0] == "ANIM_rotate") {
            const double t =
                Interpolate({num(w[6]), num(w[7])}, {num(w[4]), num(w[5])}, read(w[8], i + 1));
            stack.back().Ops.push_back({true, num(w[1]), num(w[2]), num(w[3]), t});
        } else if (w[0] == "ANIM_trans") {
            const double v = read(w[9], i + 1);
            double p[3];
            for (int k = 0; k < 3; ++k)
                p[k] = Interpolate({num(w[7]), num(w[8])}, {num(w[1 + k]), num(w[4 + k])}, v);
            stack.back().Ops.push_back({false, p[0], p[1], p[2], 0});
        } else if (w[0] == "ANIM_hide" || w[0] == "ANIM_show") {
            const double v = read(w[3], i + 1);
            if (v >= num(w[1]) && v <= num(w[2])) stack.back().Hidden = w[0] == "ANIM_hide";
        } else if (w[0] == "ANIM_rotate_begin" || w[0] == "ANIM_trans_begin") {
            const bool rotate = w[0] == "ANIM_rotate_begin";
            std::vector<double> keys, ends[3];
            double loop = 0;
            std::size_t j = i + 1;
            for (; lines[j][0] != (rotate ? "ANIM_rotate_end" : "ANIM_trans_end"); ++j) {
                if (lines[j][0] == "ANIM_keyframe_loop") {
                    loop = num(lines[j][1]);
                    continue;
                }
                keys.push_back(num(lines[j][1]));
                for (std::size_t k = 0; k + 2 < lines[j].size(); ++k)
                    ends[k].push_back(num(lines[j][2 + k]));
            }
            double v = read(w.back(), j + 1);
            if (loop > 0) v = std::fmod(v, loop);
            if (rotate)
                stack.back().Ops.push_back(
                    {true, num(w[1]), num(w[2]), num(w[3]), Interpolate(keys, ends[0], v)});
            else
                stack.back().Ops.push_back({false, Interpolate(keys, ends[0], v),
                                            Interpolate(keys, ends[1], v),
                                            Interpolate(keys, ends[2], v), 0});
            i = j;
        } else if (w[0] == "TRIS") {
            double p[3] = {1, 2, 3};
            for (auto frame = stack.rbegin(); frame != stack.rend(); ++frame)
                for (auto op = frame->Ops.rbegin(); op != frame->Ops.rend(); ++op) {
                    if (!op->Rotate) {
                        p[0] += op->A, p[1] += op->B, p[2] += op->C;
                        continue;
                    }
                    // Rodrigues: rotate p about the unit axis by Angle degrees.
                    const double n = std::sqrt(op->A * op->A + op->B * op->B + op->C * op->C);
                    const double k[3] = {op->A / n, op->B / n, op->C / n};
                    const double a = op->Angle * M_PI / 180, c = std::cos(a), s = std::sin(a);
                    const double dot = k[0] * p[0] + k[1] * p[1] + k[2] * p[2];
                    const double cross[3] = {k[1] * p[2] - k[2] * p[1], k[2] * p[0] - k[0] * p[2],
                                             k[0] * p[1] - k[1] * p[0]};
                    for (int m = 0; m < 3; ++m)
                        p[m] = p[m] * c + cross[m] * s + k[m] * dot * (1 - c);
                }
            poses.push_back({stack.back().Hidden, p[0], p[1], p[2]});
        }
    }
    return poses;
}

const std::string Animated = R"(I
800
OBJ
TEXTURE body.png
POINT_COUNTS 3 0 0 3
VT 0 -2.5 0 0 1 0 0 0
IDX 0
ANIM_begin
	ANIM_rotate 1 0 0 0 90 0 1 libxplanemp/controls/gear_ratio
	ANIM_trans 0 0 0 0 -1 0 0 1 libxplanemp/controls/flap_ratio
	ANIM_begin
		ANIM_rotate_begin 0 1 0 libxplanemp/engines/prop_rotation_angle_deg
		ANIM_rotate_key 0 0
		ANIM_rotate_key 360 360
		ANIM_keyframe_loop 360
		ANIM_rotate_end
		ANIM_trans_begin libxplanemp/controls/gear_ratio
		ANIM_trans_key 0 0 0 0
		ANIM_trans_key 0.5 0 1 0
		ANIM_trans_key 1 0 3 2
		ANIM_trans_end
		TRIS 0 3
	ANIM_end
	ANIM_hide 0 0.5 libxplanemp/controls/landing_lites_on
	TRIS 0 3
	ANIM_show 1 1 libxplanemp/controls/nav_lites_on
	TRIS 0 3
	ANIM_hide 1 1 libxplanemp/controls/strobe_lites_on
	TRIS 0 3
ANIM_end
ANIM_begin
	ANIM_rotate 0 0 1 0 45 0 1 sim/flightmodel/controls/ail1_def
	ANIM_weird 1 2 3 libxplanemp/controls/gear_ratio
	ATTR_light_level 0 1 libxplanemp/controls/beacon_lites_on
	TRIS 0 3
ANIM_end
)";

double Fixed(const std::string& dataref) { return dataref.rfind("sim/", 0) == 0 ? 0.5 : 0.0; }

TEST(CslBake, BakedObjectHoldsTheStatePoseWhateverTheValues) {
    for (const BakeState& state : {BakeState::GearDown(), BakeState::GearUp()}) {
        SCOPED_TRACE(state.Name);
        const BakeResult baked = BakeObject(Animated, state);
        const auto want = Evaluate(Animated, [&](const std::string& d) {
            return d.rfind(BakedPrefix, 0) == 0 ? state.Value(d) : Fixed(d);
        });
        ASSERT_EQ(want.size(), 5u);
        std::mt19937 random(7);
        std::uniform_real_distribution<double> any(-400, 400);
        for (int round = 0; round < 20; ++round) {
            const auto got = Evaluate(baked.Text, [&](const std::string& d) {
                return d.rfind(BakedPrefix, 0) == 0 ? any(random) : Fixed(d);
            });
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t i = 0; i < want.size(); ++i) {
                EXPECT_EQ(got[i].Hidden, want[i].Hidden) << i;
                EXPECT_NEAR(got[i].X, want[i].X, 1e-6) << i;
                EXPECT_NEAR(got[i].Y, want[i].Y, 1e-6) << i;
                EXPECT_NEAR(got[i].Z, want[i].Z, 1e-6) << i;
            }
        }
        // Landing lights off: hidden; nav on: shown; strobe off: stays shown.
        EXPECT_TRUE(want[1].Hidden);
        EXPECT_FALSE(want[2].Hidden);
        EXPECT_FALSE(want[3].Hidden);
        // The gear leg: (1,2,3) + (0,3,2) turned 90° about x when down.
        if (state.Name == "gear-down") {
            EXPECT_NEAR(want[0].Y, -5, 1e-9);
            EXPECT_NEAR(want[0].Z, 5, 1e-9);
        } else {
            EXPECT_NEAR(want[0].Y, 2, 1e-9);
            EXPECT_NEAR(want[0].Z, 3, 1e-9);
        }
        // Others' animations, unknown commands and blocks stay as written.
        for (const char* kept : {"\tANIM_rotate 0 0 1 0 45 0 1 sim/flightmodel/controls/ail1_def\n",
                                 "\tANIM_weird 1 2 3 libxplanemp/controls/gear_ratio\n",
                                 "\tATTR_light_level 0 1 libxplanemp/controls/beacon_lites_on\n",
                                 "\t\tANIM_keyframe_loop 360\n", "TEXTURE body.png\n"})
            EXPECT_NE(baked.Text.find(kept), std::string::npos) << kept;
        auto count = [](const std::string& t, const std::string& w) {
            std::size_t n = 0;
            for (auto at = t.find(w); at != std::string::npos; at = t.find(w, at + 1)) ++n;
            return n;
        };
        EXPECT_EQ(count(baked.Text, "ANIM_begin"), 3u);
        EXPECT_EQ(count(baked.Text, "ANIM_end\n"), 3u);
        EXPECT_EQ(count(baked.Text, "TRIS 0 3"), 5u);
        ASSERT_EQ(baked.Notes.size(), 2u);
        EXPECT_NE(baked.Notes[0].find("ANIM_weird"), std::string::npos);
        EXPECT_NE(baked.Notes[1].find("ATTR_light_level"), std::string::npos);
        EXPECT_TRUE(baked.HasTexture);
        EXPECT_DOUBLE_EQ(baked.LowestY, -2.5);
    }
}

TEST(CslBake, EachFormWrittenAsAConstant) {
    const struct {
        const char* Name;
        std::string Lines;
        std::map<std::string, double> Values;
        std::string Want;  // the baked lines
    } cases[] = {
        {"rotate between",
         "ANIM_rotate 1 0 0 10 30 0 1 libxplanemp/controls/flap_ratio",
         {{"controls/flap_ratio", 0.25}},
         "ANIM_rotate 1 0 0 15 15 0 1 libxplanemp/controls/flap_ratio"},
        {"rotate held past its end",
         "ANIM_rotate 1 0 0 10 30 0 1 libxplanemp/controls/flap_ratio",
         {{"controls/flap_ratio", 3}},
         "ANIM_rotate 1 0 0 30 30 0 1 libxplanemp/controls/flap_ratio"},
        {"rotate reversed range",
         "ANIM_rotate 0 1 0 0 -90 1 0 libxplanemp/controls/gear_ratio",
         {{"controls/gear_ratio", 1}},
         "ANIM_rotate 0 1 0 0 0 1 0 libxplanemp/controls/gear_ratio"},
        {"rotate with a loop",
         "ANIM_rotate 0 0 1 0 360 0 360 libxplanemp/engines/prop_rotation_angle_deg\n"
         "ANIM_keyframe_loop 360",
         {{"engines/prop_rotation_angle_deg", 450}},
         "ANIM_rotate 0 0 1 90 90 0 360 libxplanemp/engines/prop_rotation_angle_deg\n"
         "ANIM_keyframe_loop 360"},
        {"engine number dropped",
         "ANIM_rotate 0 0 1 0 100 0 1 libxplanemp/engines/thrust_reverser_deploy_ratio2",
         {{"engines/thrust_reverser_deploy_ratio", 0.5}},
         "ANIM_rotate 0 0 1 50 50 0 1 libxplanemp/engines/thrust_reverser_deploy_ratio2"},
        {"index dropped",
         "ANIM_trans 0 0 0 0 0 2 0 1 libxplanemp/controls/slat_ratio[1]",
         {{"controls/slat_ratio", 0.5}},
         "ANIM_trans 0 0 1 0 0 1 0 1 libxplanemp/controls/slat_ratio[1]"},
        {"translate unset reads 0",
         "ANIM_trans 1 2 3 4 5 6 0 1 libxplanemp/misc/touch_down",
         {},
         "ANIM_trans 1 2 3 1 2 3 0 1 libxplanemp/misc/touch_down"},
        {"rotate table",
         "ANIM_rotate_begin 1 0 0 libxplanemp/controls/gear_ratio\nANIM_rotate_key 0 0\n"
         "ANIM_rotate_key 0.5 80\nANIM_rotate_key 1 90\nANIM_rotate_end",
         {{"controls/gear_ratio", 0.75}},
         "ANIM_rotate_begin 1 0 0 libxplanemp/controls/gear_ratio\nANIM_rotate_key 0 85\n"
         "ANIM_rotate_key 0.5 85\nANIM_rotate_key 1 85\nANIM_rotate_end"},
        {"translate table falling keys",
         "ANIM_trans_begin libxplanemp/controls/gear_ratio\nANIM_trans_key 1 0 0 0\n"
         "ANIM_trans_key 0 0 -2 4\nANIM_trans_end",
         {{"controls/gear_ratio", 0.5}},
         "ANIM_trans_begin libxplanemp/controls/gear_ratio\nANIM_trans_key 1 0 -1 2\n"
         "ANIM_trans_key 0 0 -1 2\nANIM_trans_end"},
        {"table with loop inside",
         "ANIM_rotate_begin 0 1 0 libxplanemp/engines/prop_rotation_angle_deg\n"
         "ANIM_keyframe_loop 360\nANIM_rotate_key 0 0\nANIM_rotate_key 360 360\nANIM_rotate_end",
         {{"engines/prop_rotation_angle_deg", 370}},
         "ANIM_rotate_begin 0 1 0 libxplanemp/engines/prop_rotation_angle_deg\n"
         "ANIM_keyframe_loop 360\nANIM_rotate_key 0 10\nANIM_rotate_key 360 10\nANIM_rotate_end"},
        {"hide applies",
         "ANIM_hide 0 0 libxplanemp/controls/taxi_lites_on",
         {},
         "ANIM_hide 0 0 none"},
        {"hide does not apply", "ANIM_hide 1 1 libxplanemp/controls/taxi_lites_on", {}, ""},
        {"show applies",
         "ANIM_show 1 1 libxplanemp/controls/nav_lites_on",
         {{"controls/nav_lites_on", 1}},
         "ANIM_show 0 0 none"},
        {"others untouched",
         "ANIM_rotate 1 0 0 0 90 0 1 sim/cockpit/gear",
         {},
         "ANIM_rotate 1 0 0 0 90 0 1 sim/cockpit/gear"},
        {"static offset untouched",
         "ANIM_trans 0 1 0 0 1 0 0 0 none",
         {},
         "ANIM_trans 0 1 0 0 1 0 0 0 none"},
        {"malformed left",
         "ANIM_rotate 1 0 0 x 90 0 1 libxplanemp/controls/gear_ratio",
         {},
         "ANIM_rotate 1 0 0 x 90 0 1 libxplanemp/controls/gear_ratio"},
        {"table without end left",
         "ANIM_rotate_begin 1 0 0 libxplanemp/controls/gear_ratio\nANIM_rotate_key 0 0",
         {},
         "ANIM_rotate_begin 1 0 0 libxplanemp/controls/gear_ratio\nANIM_rotate_key 0 0"},
    };
    for (const auto& k : cases) {
        BakeState state;
        state.Name = "test";
        state.Values = k.Values;
        const BakeResult baked = BakeObject(k.Lines + "\n", state);
        EXPECT_EQ(baked.Text, k.Want.empty() ? "" : k.Want + "\n") << k.Name;
        const bool malformed = std::string(k.Name).find("left") != std::string::npos;
        EXPECT_EQ(baked.Notes.size(), malformed ? 1u : 0u) << k.Name;
    }
}

// A package whose A320 shares Base's shape with its own paint.
void WritePackages(const TempTree& t) {
    t.Write("csl/base/xsb_aircraft.txt",
            "EXPORT_NAME Base\nOBJ8_AIRCRAFT a320\nOBJ8 SOLID YES Base/a320/body.obj\n"
            "OBJ8 SOLID YES Base/gear.obj\nICAO A320\n");
    t.Write("csl/base/a320/body.obj",
            TinyObject("../tex/body.png",
                       "ANIM_begin\nANIM_rotate 1 0 0 0 90 0 1 libxplanemp/controls/gear_ratio\n"
                       "TRIS 0 3\nANIM_end\n"));
    t.Write("csl/base/gear.obj", TinyObject("tex/body.png"));
    t.Write("csl/base/tex/body.png", "base paint");
    t.Write("csl/base/tex/body.dds", "base paint, compressed");
    t.Write("csl/paint/xsb_aircraft.txt",
            "EXPORT_NAME Paint\nDEPENDENCY Base\nOBJ8_AIRCRAFT swr\n"
            "OBJ8 SOLID YES Base/a320/body.obj Paint/swr.png Paint/swr_lit.png\n"
            "VERT_OFFSET 3.25\nAIRLINE A320 SWR\n");
    t.Write("csl/paint/swr.png", "swiss paint");
    t.Write("csl/paint/swr_lit.png", "swiss lights");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

ino_t Inode(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

TEST(CslSlot, SlotFolderFromTheCacheWithTexturesInPlace) {
    TempTree t;
    WritePackages(t);
    std::vector<std::string> reports;
    CslSlotSource source({t.Path("csl")}, t.Path("xp"), BakeState::GearDown(),
                         [&](const std::string& r) { reports.push_back(r); });
    ASSERT_TRUE(source.Packages().Problems.empty());
    ASSERT_EQ(source.Packages().Models.size(), 2u);
    const CslModel& plain = source.Packages().Models[0];
    const CslModel& swr = source.Packages().Models[1];

    std::string error;
    ASSERT_TRUE(source.FillSlot(3, plain, error)) << error;
    const std::string slot = client::SlotFolder(t.Path("xp"), 3);
    EXPECT_EQ(Lines(ReadFile(slot + "/object_list")),
              (std::vector<std::string>{"body.obj 0 0 0 0 0 0", "gear.obj 0 0 0 0 0 0"}));
    EXPECT_EQ(ReadFile(slot + "/cog"), "0 0 1.5\n");  // the lowest vertex is at y = -1.5
    const std::string body = ReadFile(slot + "/objects/body.obj");
    EXPECT_NE(body.find("TEXTURE body.png\n"), std::string::npos) << body;
    EXPECT_NE(body.find("ANIM_rotate 1 0 0 90 90 0 1"), std::string::npos) << body;
    EXPECT_EQ(ReadFile(slot + "/objects/body.png"), "base paint");
    EXPECT_EQ(ReadFile(slot + "/objects/body.dds"), "base paint, compressed");
    // Both objects name one texture file: it is brought once.
    EXPECT_NE(ReadFile(slot + "/objects/gear.obj").find("TEXTURE body.png\n"), std::string::npos);

    // The paint model: the line's textures replace the object's own.
    ASSERT_TRUE(source.FillSlot(3, swr, error)) << error;
    EXPECT_EQ(Lines(ReadFile(slot + "/object_list")),
              std::vector<std::string>{"body.obj 0 0 0 0 0 0"});
    EXPECT_EQ(ReadFile(slot + "/cog"), "0 0 3.25\n");
    const std::string painted = ReadFile(slot + "/objects/body.obj");
    EXPECT_NE(painted.find("TEXTURE swr.png\n"), std::string::npos) << painted;
    EXPECT_NE(painted.find("OBJ\nTEXTURE_LIT swr_lit.png\n"), std::string::npos) << painted;
    EXPECT_EQ(ReadFile(slot + "/objects/swr.png"), "swiss paint");
    EXPECT_FALSE(std::filesystem::exists(slot + "/objects/gear.obj"));  // the last model's

    // A second slot of the same model is linked from the same bake.
    ASSERT_TRUE(source.FillSlot(4, swr, error)) << error;
    const std::string other = client::SlotFolder(t.Path("xp"), 4);
    EXPECT_EQ(Inode(other + "/objects/body.obj"), Inode(slot + "/objects/body.obj"));
    std::size_t bakes = 0;
    for (const auto& e :
         std::filesystem::directory_iterator(t.Path("xp/Resources/plugins/Velmir/csl-cache")))
        bakes += e.is_directory();
    EXPECT_EQ(bakes, 2u);
    EXPECT_TRUE(reports.empty()) << reports.front();

    // A new run finds the bakes on disk and does not bake again.
    CslSlotSource again({t.Path("csl")}, t.Path("xp"));
    std::string folder;
    ASSERT_TRUE(again.Baked(again.Packages().Models[1], folder, error)) << error;
    EXPECT_EQ(Inode(folder + "/objects/body.obj"), Inode(other + "/objects/body.obj"));
}

TEST(CslSlot, PluginLinkFillsSlotsFromThePackages) {
    TempTree t;
    WritePackages(t);
    CslSlotSource source({t.Path("csl")}, t.Path("xp"));
    PluginLink link(t.Path("xp"), ModelMap{});
    link.SetModelSource(&source);
    Identity swiss{"SWR12", "SWR12", "HB-JLT", "Aircraft/Airbus A320/A320.acf", 0};
    link.PrepareSlot(1, swiss);
    EXPECT_EQ(ReadFile(client::SlotFolder(t.Path("xp"), 1) + "/cog"), "0 0 3.25\n");
    Identity cessna{"N172", "N172", "N172", "Aircraft/Cessna 172/C172.acf", 0};
    link.PrepareSlot(2, cessna);  // no model for it: the built-in mesh
    EXPECT_TRUE(
        std::filesystem::exists(client::SlotFolder(t.Path("xp"), 2) + "/objects/fuselage.obj"));
    EXPECT_EQ(TypeFromModelPath("Aircraft/Laminar Research/Boeing 737-800/b738.acf",
                                TypeTable::BuiltIn()),
              "B738");
    EXPECT_EQ(TypeFromModelPath("Aircraft/A320neo/a20n_cfm.acf", TypeTable::BuiltIn()), "A20N");
    EXPECT_EQ(TypeFromModelPath("Aircraft/Cessna 172SP/Cessna_172SP.acf", TypeTable::BuiltIn()),
              "");
}

}  // namespace
}  // namespace velmir::net::csl
