// kt735sim: the KT735N driver on a simulated KT735, end to end, in virtual time. See --help.
#include <fstream>
#include <iostream>
#include <sstream>
#include <variant>

#include "cli.h"
#include "simulation.h"

int main(int argc, char** argv) {
    using namespace kt735sim;
    auto parsed = parseArguments(argc, argv);
    if (auto* error = std::get_if<UsageError>(&parsed)) {
        std::cerr << error->message << "\n";
        return 2;
    }
    const Options& options = std::get<Options>(parsed);
    if (options.help) {
        std::cout << helpText();
        return 0;
    }
    std::string text = defaultScript();
    std::string name = "default scenario";
    if (options.scriptFile) {
        std::ifstream in(*options.scriptFile);
        if (!in) {
            std::cerr << "kt735sim: --script: cannot read '" << *options.scriptFile << "'\n";
            return 2;
        }
        std::ostringstream content;
        content << in.rdbuf();
        text = content.str();
        name = *options.scriptFile;
    }
    auto script = parseScript(text, name);
    if (auto* error = std::get_if<UsageError>(&script)) {
        std::cerr << error->message << "\n";
        return 2;
    }
    return runSimulation(options, std::get<Script>(script), std::cout, std::cerr);
}
