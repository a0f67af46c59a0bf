// Matching pilots to CSL models: every rule in order, families, classes,
// ties by the callsign's hash, and the --models map winning over packages.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "net/csl/Match.h"
#include "net/csl/Source.h"
#include "net/tests/CslFixture.h"

namespace velmir::net::csl {
extern const char* const BuiltInTypesText;
namespace {

Collection Models(std::initializer_list<std::pair<std::string, std::vector<MatchKey>>> models) {
    Collection c;
    c.Packages.push_back({"P", "/nowhere", {}, models.size()});
    for (const auto& [id, keys] : models) {
        CslModel m;
        m.Id = id;
        m.Package = 0;
        m.Objects.push_back({"SOLID", "YES", "/nowhere/" + id + ".obj", "", ""});
        m.Matches = keys;
        c.Models.push_back(std::move(m));
    }
    return c;
}

const Collection& Sample() {
    static const Collection c = Models({
        {"A320 SWR HB-JLT", {{"A320", "SWR", "HB-JLT"}}},
        {"A320 SWR", {{"A320", "SWR", ""}}},
        {"A320 DLH", {{"A320", "DLH", ""}}},
        {"A320 plain", {{"A320", "", ""}}},
        {"A319 EZY", {{"A319", "EZY", ""}}},
        {"B738", {{"B738", "", ""}}},
        {"B736 KLM", {{"B736", "KLM", ""}}},
        {"E190 BAW", {{"E190", "BAW", ""}}},
        {"B77W", {{"B77W", "", ""}}},
        {"C172", {{"C172", "", ""}}},
        {"PA44", {{"PA44", "", ""}}},
        {"S76", {{"S76", "", ""}}},
        {"R44", {{"R44", "", ""}}},
    });
    return c;
}

TEST(CslTypes, BuiltInTableIsCleanAndKnowsTheFamilies) {
    TypeTable table;
    std::vector<std::string> errors;
    table.Parse(BuiltInTypesText, errors);
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_GE(table.Size(), 300u);
    const TypeTable& t = TypeTable::BuiltIn();
    for (const char* type : {"A319", "A320", "A321", "A20N", "A21N"})
        EXPECT_EQ(t.Find(type)->Family, "A320") << type;
    for (const char* type : {"B736", "B737", "B738", "B739", "B38M"})
        EXPECT_EQ(t.Find(type)->Family, "B737") << type;
    EXPECT_EQ(t.Find("A388")->ClassKey(), "L4J/J");
    EXPECT_EQ(t.Find("R44")->ClassKey(), "H1P/L");
    EXPECT_EQ(t.Find("CL2T")->ClassKey(), "A2T/M");
    EXPECT_EQ(t.Find("V22")->ClassKey(), "T2T/M");
    EXPECT_EQ(t.Find("B744")->ClassKey(), "L4J/H");
}

TEST(CslTypes, BadLinesAreNamed) {
    const struct {
        const char* Text;
        const char* Error;
    } cases[] = {
        {"A320 L2J", "line 1: expected TYPE DESCRIPTION WAKE"},
        {"A320 X2J M", "line 1: expected"},
        {"A320 L9J M", "line 1: expected"},
        {"A320 L2J Q", "line 1: expected"},
        {"A320 L2J M\nA320 L2J M", "line 2: 'A320' again"},
        {"FAMILY F A320", "line 1: family type 'A320' has no type line"},
        {"A320 L2J M\nFAMILY F A320\nFAMILY G A320", "line 3: 'A320' is already in family F"},
        {"FAMILY F", "line 1: FAMILY needs"},
    };
    for (const auto& k : cases) {
        TypeTable t;
        std::vector<std::string> errors;
        t.Parse(k.Text, errors);
        ASSERT_EQ(errors.size(), 1u) << k.Text;
        EXPECT_NE(errors[0].find(k.Error), std::string::npos) << errors[0];
    }
}

TEST(CslMatch, Fnv1aIsTheStandardOne) {
    // Published FNV-1a 32-bit vectors: every machine must pick alike.
    EXPECT_EQ(Fnv1a(""), 0x811c9dc5u);
    EXPECT_EQ(Fnv1a("a"), 0xe40c292cu);
    EXPECT_EQ(Fnv1a("foobar"), 0xbf9cf968u);
}

// What the matcher is asked for a pilot: what it published, or for an old
// sender's identity the guess from its model path, callsign and tail.
TEST(CslMatch, QueryUsesThePublishedAircraftElseTheGuess) {
    const TypeTable& types = TypeTable::BuiltIn();
    Identity old{"SWR123", "SWR123", "hb-jlt", "Aircraft/Boeing 737-800/b738.acf", 0};
    Query q = QueryFor(old, types);
    EXPECT_EQ(q.Type, "B738");
    EXPECT_EQ(q.Airline, "SWR");
    EXPECT_EQ(q.Livery, "HB-JLT");

    Identity said = old;
    said.Described = true;
    said.IcaoType = "A20N";  // the file name says otherwise; the pilot knows
    said.Airline = "EZY";
    said.Livery = "G-UZHA";
    q = QueryFor(said, types);
    EXPECT_EQ(q.Type, "A20N");
    EXPECT_EQ(q.Airline, "EZY");
    EXPECT_EQ(q.Livery, "G-UZHA");

    // Said, but no type known and no operator: the path still helps with
    // the type; the callsign's operator is not forced on it.
    said.IcaoType.clear();
    said.Airline.clear();
    said.Callsign = "HBJLT";
    q = QueryFor(said, types);
    EXPECT_EQ(q.Type, "B738");
    EXPECT_EQ(q.Airline, "");
}

struct MatchCase {
    Query Q;
    Rule How;
    std::set<std::string> Allowed;  // model ids; empty for the built-in mesh
    std::size_t Candidates;
};

TEST(CslMatch, EveryRuleInOrder) {
    const Matcher m(Sample(), TypeTable::BuiltIn());
    const std::set<std::string> swr = {"A320 SWR HB-JLT", "A320 SWR"};
    const std::set<std::string> a320 = {"A320 SWR HB-JLT", "A320 SWR", "A320 DLH", "A320 plain"};
    std::set<std::string> a320family = a320;
    a320family.insert("A319 EZY");
    const MatchCase cases[] = {
        {{"A320", "SWR", "HB-JLT", "SWR1"}, Rule::TypeAirlineLivery, {"A320 SWR HB-JLT"}, 1},
        {{"a320", "swr", "hb-jlt", "X"}, Rule::TypeAirlineLivery, {"A320 SWR HB-JLT"}, 1},
        {{"A320", "SWR", "HB-JJJ", "SWR1"}, Rule::TypeAirline, swr, 2},
        {{"A320", "", "", "SWR77"}, Rule::TypeAirline, swr, 2},  // operator from callsign
        {{"A320", "DLH", "", "X"}, Rule::TypeAirline, {"A320 DLH"}, 1},
        {{"A320", "AFR", "", "AFR1"}, Rule::Type, a320, 4},
        {{"A320", "", "", "HBABC"}, Rule::Type, a320, 4},
        {{"B738", "KLM", "", "KLM1"}, Rule::Type, {"B738"}, 1},  // type beats family+operator
        {{"A321", "SWR", "", "X"}, Rule::FamilyAirline, swr, 2},
        {{"A21N", "", "", "EZY123"}, Rule::FamilyAirline, {"A319 EZY"}, 1},
        {{"B38M", "KLM", "", "X"}, Rule::FamilyAirline, {"B736 KLM"}, 1},
        {{"A321", "BAW", "", "BAW1"}, Rule::Family, a320family, 5},
        {{"B739", "", "", "N1"}, Rule::Family, {"B738", "B736 KLM"}, 2},
        {{"C152", "", "", "X"}, Rule::Family, {"C172"}, 1},
        {{"R22", "", "", "X"}, Rule::Family, {"R44"}, 1},
        {{"CRJ9", "BAW", "", "X"}, Rule::ClassAirline, {"E190 BAW"}, 1},
        {{"CRJ9", "AFR", "", "X"},
         Rule::Class,
         {"A320 SWR HB-JLT", "A320 SWR", "A320 DLH", "A320 plain", "A319 EZY", "B738", "B736 KLM",
          "E190 BAW"},
         8},
        {{"A332", "", "", "X"}, Rule::Class, {"B77W"}, 1},
        {{"DA42", "", "", "X"}, Rule::Class, {"PA44"}, 1},
        {{"B412", "", "", "X"}, Rule::Class, {"S76"}, 1},
        // No heavy four-jet, no jumbo class model, no helicopter of that kind: the mesh.
        {{"B744", "", "", "X"}, Rule::BuiltIn, {}, 0},
        {{"A388", "", "", "X"}, Rule::BuiltIn, {}, 0},
        {{"B06", "", "", "X"}, Rule::BuiltIn, {}, 0},
        {{"ZZZZ", "SWR", "", "SWR1"}, Rule::BuiltIn, {}, 0},
        {{"", "SWR", "HB-JLT", "SWR1"}, Rule::BuiltIn, {}, 0},
    };
    for (const MatchCase& k : cases) {
        const Choice c = m.Match(k.Q);
        const std::string what =
            k.Q.Type + "/" + k.Q.Airline + "/" + k.Q.Livery + "/" + k.Q.Callsign;
        EXPECT_EQ(RuleName(c.How), std::string(RuleName(k.How))) << what;
        EXPECT_EQ(c.Candidates, k.Candidates) << what;
        if (k.Allowed.empty()) {
            EXPECT_EQ(c.Model, nullptr) << what;
        } else {
            ASSERT_NE(c.Model, nullptr) << what;
            EXPECT_TRUE(k.Allowed.count(c.Model->Id)) << what << " got " << c.Model->Id;
        }
    }
}

TEST(CslMatch, TiesAreStablePerCallsignAndSpreadOverPilots) {
    const Matcher a(Sample(), TypeTable::BuiltIn());
    const Collection copy = Sample();
    const Matcher b(copy, TypeTable::BuiltIn());
    std::set<std::string> seen;
    for (int i = 0; i < 60; ++i) {
        const std::string callsign = "N" + std::to_string(100 + i * 7);
        const Choice one = a.Match({"A320", "", "", callsign});
        const Choice again = a.Match({"A320", "", "", callsign});
        const Choice other = b.Match({"A320", "", "", callsign});
        ASSERT_EQ(one.Model->Id, again.Model->Id);
        ASSERT_EQ(one.Model->Id, other.Model->Id);
        EXPECT_EQ(one.Model->Id, a.Match({"A320", "", "", "n" + callsign.substr(1)}).Model->Id);
        seen.insert(one.Model->Id);
    }
    EXPECT_EQ(seen.size(), 4u);  // every A320 livery shows up among 60 pilots
}

TEST(CslMatch, ModelsMapWinsOverPackages) {
    testing::TempTree t;
    t.Write("mine/object_list", "a.obj 0 0 0 0 0 0\n");
    ModelMap map;
    std::istringstream rules("b738 mine\n");
    std::string error;
    ASSERT_TRUE(map.Parse(rules, t.Root().string(), error)) << error;
    const Matcher m(Sample(), TypeTable::BuiltIn());
    const Query q{"B738", "", "", "X"};
    const Choice mapped = ChooseModel(&map, "Aircraft/Boeing/B738.acf", &m, q);
    EXPECT_EQ(mapped.How, Rule::ModelsMap);
    EXPECT_EQ(mapped.Folder, t.Path("mine"));
    EXPECT_EQ(mapped.Model, nullptr);
    const Choice packaged = ChooseModel(&map, "Aircraft/Airbus/a320.acf", &m, q);
    EXPECT_EQ(packaged.How, Rule::Type);
    EXPECT_EQ(packaged.Model->Id, "B738");
    EXPECT_EQ(ChooseModel(nullptr, "x", nullptr, q).How, Rule::BuiltIn);
}

}  // namespace
}  // namespace velmir::net::csl
