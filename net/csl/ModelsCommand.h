// `velmir-net models`: what the CSL packages hold, what is wrong with them,
// and which model a given type, operator and livery would get, and why.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace velmir::net::csl {

struct ModelsOptions {
    std::vector<std::string> Csl;
    std::string Icao, Airline, Livery, Callsign, Models, ModelPath;
};

CLI::App* AddModelsCommand(CLI::App& app, ModelsOptions& options);
int RunModelsCommand(const ModelsOptions&);

}  // namespace velmir::net::csl
