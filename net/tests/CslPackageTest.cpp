// Reading CSL packages: every line kind, names across packages, and broken
// packages reported once (file and line) and left out.
#include <gtest/gtest.h>

#include <cstdio>

#include "net/csl/Package.h"
#include "net/tests/CslFixture.h"

// Where this build put it (generated beside the objects).
extern const char* const VelmirNetBinary;

namespace velmir::net::csl {
namespace {

using testing::TempTree;
using testing::TinyObject;

const CslPackage* PackageNamed(const Collection& c, const std::string& name) {
    for (const auto& p : c.Packages)
        if (p.Name == name) return &p;
    return nullptr;
}

std::string Problems(const Collection& c) {
    std::string text;
    for (const auto& p : c.Problems) text += p.Text() + "\n";
    return text;
}

// Base holds the shapes; Paint (read first: "a-..." sorts before "b-...")
// uses them through Base's exported name.
void WriteBaseAndPaint(const TempTree& t) {
    t.Write("csl/b-base/xsb_aircraft.txt",
            "EXPORT_NAME Base\n"
            "OBJ8_AIRCRAFT A320 plain   # comment after a name\n"
            "OBJ8 SOLID YES Base/a320/body.obj\n"
            "OBJ8 GLASS NO Base/a320/glass.obj\n"
            "VERT_OFFSET 2.35\n"
            "ICAO A320\n");
    t.Write("csl/b-base/a320/body.obj", TinyObject("body.png"));
    t.Write("csl/b-base/a320/glass.obj", TinyObject());
    t.Write("csl/b-base/a320/body.png", "png");
    t.Write("csl/a-paint/xsb_aircraft.txt",
            "# liveries for Base's shapes\r\n"
            "EXPORT_NAME Paint\r\n"
            "DEPENDENCY Base\r\n"
            "\r\n"
            "OBJ8_AIRCRAFT SWR A320\r\n"
            "OBJ8 SOLID YES Base/a320/body.obj Paint/swr.png Paint/swr_lit.png\r\n"
            "TEXTURE Paint/swr.png\r\n"
            "AIRLINE a320 swr\r\n"
            "LIVERY A320 SWR HB-JLT new colours\r\n"
            "MATCHES A319\r\n"
            "MATCHES A321 SWR\r\n"
            "MATCHES A20N SWR HB-JDA\r\n"
            "OBJ8_AIRCRAFT near\r\n"
            "OBJ8 LIGHTS YES Base/a320/body.obj body.png\r\n"
            "ICAO A319\r\n");
    t.Write("csl/a-paint/swr.png", "png");
    t.Write("csl/a-paint/swr_lit.png", "png");
}

TEST(CslPackage, ReadsEveryLineKindAndNamesAcrossPackages) {
    TempTree t;
    WriteBaseAndPaint(t);
    const Collection c = ReadCollection({t.Path("csl")});
    ASSERT_TRUE(c.Problems.empty()) << Problems(c);
    ASSERT_EQ(c.Packages.size(), 2u);
    EXPECT_EQ(c.Packages[0].Name, "Base");  // ordered by name, not folder
    EXPECT_EQ(c.Packages[1].Name, "Paint");
    EXPECT_EQ(c.Packages[1].Dependencies, std::vector<std::string>{"Base"});
    ASSERT_EQ(c.Models.size(), 3u);

    const CslModel& plain = c.Models[0];
    EXPECT_EQ(plain.Id, "A320 plain");
    EXPECT_EQ(plain.Line, 2);
    ASSERT_EQ(plain.Objects.size(), 2u);
    EXPECT_EQ(plain.Objects[1].Part, "GLASS");
    EXPECT_EQ(plain.Objects[1].Lod, "NO");
    EXPECT_EQ(plain.Objects[0].Path, t.Path("csl/b-base/a320/body.obj"));
    EXPECT_TRUE(plain.HasVertOffset);
    EXPECT_DOUBLE_EQ(plain.VertOffset, 2.35);

    const CslModel& swr = c.Models[1];
    EXPECT_EQ(c.Packages[swr.Package].Name, "Paint");
    EXPECT_FALSE(swr.HasVertOffset);
    ASSERT_EQ(swr.Objects.size(), 1u);
    EXPECT_EQ(swr.Objects[0].Path, t.Path("csl/b-base/a320/body.obj"));
    EXPECT_EQ(swr.Objects[0].Texture, t.Path("csl/a-paint/swr.png"));
    EXPECT_EQ(swr.Objects[0].LitTexture, t.Path("csl/a-paint/swr_lit.png"));
    EXPECT_EQ(swr.Texture, t.Path("csl/a-paint/swr.png"));
    struct Want {
        std::string Type, Airline, Livery;
    };
    const Want want[] = {{"A320", "SWR", ""},
                         {"A320", "SWR", "HB-JLT NEW COLOURS"},
                         {"A319", "", ""},
                         {"A321", "SWR", ""},
                         {"A20N", "SWR", "HB-JDA"}};
    ASSERT_EQ(swr.Matches.size(), std::size(want));
    for (std::size_t i = 0; i < std::size(want); ++i) {
        EXPECT_EQ(swr.Matches[i].Type, want[i].Type) << i;
        EXPECT_EQ(swr.Matches[i].Airline, want[i].Airline) << i;
        EXPECT_EQ(swr.Matches[i].Livery, want[i].Livery) << i;
    }
    // A bare texture name is taken from the object's own folder.
    EXPECT_EQ(c.Models[2].Objects[0].Texture, t.Path("csl/b-base/a320/body.png"));
    EXPECT_EQ(c.Models[2].Objects[0].Part, "LIGHTS");
}

struct BrokenCase {
    const char* Name;
    std::string Text;
    int Line;
    const char* Says;
};

TEST(CslPackage, BrokenPackagesAreReportedOnceAndSkipped) {
    const std::string head = "EXPORT_NAME Bad\nOBJ8_AIRCRAFT m\n";
    const std::string good = "OBJ8 SOLID YES Bad/m.obj\n";
    const BrokenCase cases[] = {
        {"unknown command", head + good + "HASGEAR YES\n", 4, "unknown command 'HASGEAR'"},
        {"old command", head + good + "OBJ7 SOLID Bad/m.obj\n", 4, "old command OBJ7"},
        {"missing object", head + "OBJ8 SOLID YES Bad/gone.obj\n", 3, "missing file"},
        {"missing texture", head + "OBJ8 SOLID YES Bad/m.obj gone.png\n", 3, "missing file"},
        {"not an object", head + "OBJ8 SOLID YES Bad/m.png\n", 3, "not an .obj"},
        {"dependency not installed",
         "EXPORT_NAME Bad\nDEPENDENCY Nowhere\nOBJ8_AIRCRAFT m\n" + good, 2,
         "'Nowhere' is not installed"},
        {"unknown package prefix", head + "OBJ8 SOLID YES Other/m.obj\n", 3,
         "'Other' is not installed"},
        {"outside its package", head + "OBJ8 SOLID YES Bad/../Good/g.obj\n", 3,
         "leaves its package"},
        {"object before a model", "EXPORT_NAME Bad\n" + good, 2, "before any OBJ8_AIRCRAFT"},
        {"model without objects", head + "ICAO A320\nOBJ8_AIRCRAFT n\n" + good, 2,
         "has no OBJ8 object"},
        {"model at the end without objects", head + good + "OBJ8_AIRCRAFT n\n", 4,
         "has no OBJ8 object"},
        {"vertical offset not a number", head + good + "VERT_OFFSET 1.5m\n", 4, "not metres"},
        {"vertical offset absurd", head + good + "VERT_OFFSET 1e9\n", 4, "not metres"},
        {"ICAO with an operator", head + good + "ICAO A320 SWR\n", 4, "one type"},
        {"AIRLINE without one", head + good + "AIRLINE A320\n", 4, "wrong number"},
        {"LIVERY without one", head + good + "LIVERY A320 SWR\n", 4, "wrong number"},
        {"type not a designator", head + good + "ICAO A320-200\n", 4, "not a type"},
        {"two export names", head + good + "EXPORT_NAME Again\n", 4, "second EXPORT_NAME"},
        {"two models of one name", head + good + "OBJ8_AIRCRAFT m\n" + good, 4,
         "second model named 'm'"},
        {"name taken by another package", "EXPORT_NAME Good\nOBJ8_AIRCRAFT m\n" + good, 1,
         "also exported"},
    };
    for (const BrokenCase& k : cases) {
        SCOPED_TRACE(k.Name);
        TempTree t;
        // "z-bad" sorts after "good", so the good package keeps its name.
        t.Write("csl/good/xsb_aircraft.txt",
                "EXPORT_NAME Good\nOBJ8_AIRCRAFT g\nOBJ8 SOLID YES Good/g.obj\nICAO C172\n");
        t.Write("csl/good/g.obj", TinyObject());
        t.Write("csl/z-bad/xsb_aircraft.txt", k.Text);
        t.Write("csl/z-bad/m.obj", TinyObject());
        const Collection c = ReadCollection({t.Path("csl")});
        ASSERT_EQ(c.Problems.size(), 1u) << Problems(c);
        EXPECT_EQ(c.Problems[0].File, t.Path("csl/z-bad/xsb_aircraft.txt"));
        EXPECT_EQ(c.Problems[0].Line, k.Line) << c.Problems[0].Text();
        EXPECT_NE(c.Problems[0].Message.find(k.Says), std::string::npos) << c.Problems[0].Text();
        ASSERT_EQ(c.Packages.size(), 1u);
        EXPECT_EQ(c.Packages[0].Name, "Good");
        ASSERT_EQ(c.Models.size(), 1u);
        EXPECT_EQ(c.Models[0].Id, "g");
    }
}

TEST(CslPackage, APackageLeaningOnABrokenOneIsSkippedAlongTheChain) {
    TempTree t;
    t.Write("csl/a/xsb_aircraft.txt", "EXPORT_NAME A\nBOGUS\n");
    t.Write("csl/b/xsb_aircraft.txt",
            "EXPORT_NAME B\nDEPENDENCY A\nOBJ8_AIRCRAFT b\nOBJ8 SOLID YES B/b.obj\n");
    t.Write("csl/b/b.obj", TinyObject());
    t.Write("csl/c/xsb_aircraft.txt", "EXPORT_NAME C\nOBJ8_AIRCRAFT c\nOBJ8 SOLID YES B/b.obj\n");
    t.Write("csl/d/xsb_aircraft.txt", "EXPORT_NAME D\nOBJ8_AIRCRAFT d\nOBJ8 SOLID YES D/d.obj\n");
    t.Write("csl/d/d.obj", TinyObject());
    const Collection c = ReadCollection({t.Path("csl")});
    ASSERT_EQ(c.Problems.size(), 3u) << Problems(c);
    EXPECT_EQ(c.Problems[0].Line, 2);
    EXPECT_NE(c.Problems[1].Message.find("package 'A' is broken"), std::string::npos);
    EXPECT_EQ(c.Problems[1].Line, 2);
    EXPECT_NE(c.Problems[2].Message.find("package 'B' is broken"), std::string::npos);
    EXPECT_EQ(c.Problems[2].Line, 3);
    ASSERT_EQ(c.Packages.size(), 1u);
    EXPECT_EQ(c.Packages[0].Name, "D");
}

TEST(CslPackage, LimitsAndOddFoldersAreReportedNotFatal) {
    TempTree t;
    t.Write("csl/long/xsb_aircraft.txt", "EXPORT_NAME L\n# " + std::string(5000, 'x') + "\n");
    t.Write("csl/big/xsb_aircraft.txt", std::string(2000, '\n'));
    t.Write("csl/deep/1/2/3/4/xsb_aircraft.txt", "EXPORT_NAME Deep\n");
    ReadLimits limits;
    limits.MaxFileBytes = 1000;
    limits.MaxDepth = 3;
    const Collection c = ReadCollection({t.Path("csl"), t.Path("nowhere")}, limits);
    const std::string all = Problems(c);
    EXPECT_NE(all.find("nowhere: not a folder"), std::string::npos) << all;
    EXPECT_NE(all.find("long/xsb_aircraft.txt: larger than"), std::string::npos) << all;
    EXPECT_NE(all.find("big/xsb_aircraft.txt: larger than"), std::string::npos) << all;
    EXPECT_EQ(all.find("Deep"), std::string::npos);
    EXPECT_TRUE(c.Packages.empty());

    limits = ReadLimits{};
    limits.MaxLineBytes = 100;
    const Collection d = ReadCollection({t.Path("csl")}, limits);
    EXPECT_NE(Problems(d).find("long/xsb_aircraft.txt:2: line too long"), std::string::npos)
        << Problems(d);
    EXPECT_NE(PackageNamed(d, "Deep"), nullptr);  // a package of no models is fine
}

}  // namespace
}  // namespace velmir::net::csl

namespace velmir::net::csl {
namespace {

TEST(CslModelsCommand, ListsPackagesProblemsAndTheChoice) {
    TempTree t;
    WriteBaseAndPaint(t);
    t.Write("csl/old/xsb_aircraft.txt", "EXPORT_NAME Old\nAIRCRAFT 6 7 old.acf\n");
    const std::string command = std::string(VelmirNetBinary) + " models --csl " + t.Path("csl") +
                                " --icao A21N --callsign SWR12 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    EXPECT_EQ(pclose(pipe), 0) << out;
    for (const std::string want :
         {"packages: 2, models: 3\n", "problems: 1\n",
          "csl/old/xsb_aircraft.txt:2: old command AIRCRAFT", "type A21N: L2J/M, family A320\n",
          "operator: SWR\n", "rule: family and operator\n", "model: Paint 'SWR A320'"})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
}

}  // namespace
}  // namespace velmir::net::csl
