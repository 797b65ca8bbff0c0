// kt735sim: the KT735N driver on a simulated KT735, end to end, in virtual time. See --help.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <variant>

#include "cli.h"
#include "simulation.h"

namespace {

namespace fs = std::filesystem;

// Reads the script named by --script ("-": standard input); on a problem returns the message.
std::variant<std::string, kt735sim::UsageError> readScript(const std::string& path) {
    std::ostringstream content;
    if (path == "-") {
        content << std::cin.rdbuf();
        return content.str();
    }
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        return kt735sim::UsageError{"kt735sim: --script: '" + path + "' is a directory"};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return kt735sim::UsageError{"kt735sim: --script: cannot read '" + path + "'"};
    }
    content << in.rdbuf();
    return content.str();
}

// Two outputs on one path, or an output over the script, would destroy one of them.
std::optional<std::string> clashingPaths(const kt735sim::Options& options) {
    if (options.json == "-" && options.plot == "-") {
        return std::string("kt735sim: --json and --plot both name standard output");
    }
    std::vector<std::pair<std::string, std::string>> paths;
    for (const auto& [option, path] :
         {std::pair{"--script", options.scriptFile}, std::pair{"--usb-pcap", options.usbPcap},
          std::pair{"--wire-pcap", options.wirePcap}, std::pair{"--json", options.json},
          std::pair{"--plot", options.plot}}) {
        if (path && *path != "-") {
            std::error_code ec;
            fs::path full = fs::weakly_canonical(fs::absolute(*path, ec), ec);
            paths.emplace_back(option, full.string());
        }
    }
    for (std::size_t i = 0; i < paths.size(); i++) {
        for (std::size_t j = i + 1; j < paths.size(); j++) {
            if (paths[i].second == paths[j].second) {
                return "kt735sim: " + paths[i].first + " and " + paths[j].first +
                       " name the same file '" + paths[j].second + "'";
            }
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    using namespace kt735sim;
    auto parsed = parseArguments(argc, argv);
    if (auto* error = std::get_if<UsageError>(&parsed)) {
        std::cerr << error->message << "\n";
        return 2;
    }
    Options options = std::get<Options>(parsed);
    std::string info;
    if (options.help) {
        info = helpText();
    } else if (options.version) {
        info = versionText();
    } else if (options.listOids) {
        info = oidListText();
    } else if (options.listParams) {
        info = paramListText();
    }
    if (!info.empty()) {
        std::cout << info << std::flush;
        return std::cout ? 0 : 1;
    }
    if (auto clash = clashingPaths(options)) {
        std::cerr << *clash << "\n";
        return 2;
    }
    // With --tap the traffic is Linux's: no scenario runs unless one is given.
    std::string text = options.tap ? "" : defaultScript();
    std::string name = options.tap ? "no script" : "default scenario";
    if (options.scriptFile) {
        auto read = readScript(*options.scriptFile);
        if (auto* error = std::get_if<UsageError>(&read)) {
            std::cerr << error->message << "\n";
            return 2;
        }
        text = std::get<std::string>(read);
        name = *options.scriptFile == "-" ? "standard input" : *options.scriptFile;
    }
    auto script = parseScript(text, name, options.duration);
    if (auto* error = std::get_if<UsageError>(&script)) {
        std::cerr << error->message << "\n";
        return 2;
    }
    for (const std::string& warning : paramWarnings(options)) {
        std::cerr << "kt735sim: warning: " << warning << "\n";
    }
    // The record on standard output takes the place of the text.
    if (options.json == "-") {
        options.quiet = true;
    }
    int status = runSimulation(options, std::get<Script>(script), std::cout, std::cerr);
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "kt735sim: standard output: write failed\n";
        return 1;
    }
    return status;
}
