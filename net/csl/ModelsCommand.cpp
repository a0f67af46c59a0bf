#include "net/csl/ModelsCommand.h"

#include <cctype>
#include <cstdio>

#include <CLI/CLI.hpp>

#include "net/csl/Match.h"
#include "net/csl/Package.h"
#include "net/pilot/Exit.h"

namespace velmir::net::csl {

CLI::App* AddModelsCommand(CLI::App& app, ModelsOptions& o) {
    CLI::App* c = app.add_subcommand(
        "models", "list the CSL packages and their problems; show the model a pilot gets");
    c->add_option("--csl", o.Csl, "folder of CSL model packages; repeat for more")->required();
    c->add_option("--icao", o.Icao, "aircraft type designator, e.g. B738");
    c->add_option("--airline", o.Airline, "operator's ICAO code, e.g. SWR");
    c->add_option("--livery", o.Livery, "livery, e.g. a registration");
    c->add_option("--callsign", o.Callsign, "callsign (gives the operator; breaks ties)");
    c->add_option("--models", o.Models, "model map: PATTERN FOLDER per line (wins)");
    c->add_option("--model-path", o.ModelPath, "the pilot's model path, for --models");
    return c;
}

int RunModelsCommand(const ModelsOptions& o) {
    ModelMap map;
    std::string error;
    if (!o.Models.empty() && !map.Load(o.Models, error)) return Fail(ExitUsage, error);
    const Collection collection = ReadCollection(o.Csl);
    const TypeTable& types = TypeTable::BuiltIn();
    std::printf("packages: %zu, models: %zu\n", collection.Packages.size(),
                collection.Models.size());
    for (const CslPackage& p : collection.Packages)
        std::printf("  %-24s %5zu  %s\n", p.Name.c_str(), p.Models, p.Folder.c_str());
    std::printf("problems: %zu\n", collection.Problems.size());
    for (const Problem& p : collection.Problems) std::printf("  %s\n", p.Text().c_str());

    const bool asked = !o.Icao.empty() || !o.Airline.empty() || !o.Livery.empty() ||
                       !o.Callsign.empty() || !o.ModelPath.empty();
    if (!asked) return ExitOk;
    const Query query{o.Icao, o.Airline, o.Livery, o.Callsign};
    std::string type = query.Type;
    for (char& ch : type) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const TypeInfo* info = types.Find(type);
    std::printf(
        "type %s: %s\n", type.empty() ? "-" : type.c_str(),
        info ? (info->ClassKey() + (info->Family.empty() ? "" : ", family " + info->Family)).c_str()
             : "not in the type table");
    const std::string airline = o.Airline.empty() ? AirlineFromCallsign(o.Callsign) : o.Airline;
    if (!airline.empty()) std::printf("operator: %s\n", airline.c_str());
    const Matcher matcher(collection, types);
    const Choice choice =
        ChooseModel(o.Models.empty() ? nullptr : &map, o.ModelPath, &matcher, query);
    std::printf("rule: %s\n", RuleName(choice.How));
    if (choice.How == Rule::ModelsMap) {
        std::printf("model: folder %s\n", choice.Folder.c_str());
    } else if (choice.Model) {
        const CslPackage& p = collection.Packages[choice.Model->Package];
        std::printf("model: %s '%s' (%s:%d), one of %zu\n", p.Name.c_str(),
                    choice.Model->Id.c_str(), p.Folder.c_str(), choice.Model->Line,
                    choice.Candidates);
    } else {
        std::printf("model: the built-in mesh\n");
    }
    return ExitOk;
}

}  // namespace velmir::net::csl
