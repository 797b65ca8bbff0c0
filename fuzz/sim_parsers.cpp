// kt735sim's parsers: an input that begins with '-' is a command line, split at newlines into
// its words; any other input is a script. (Building the command-line parser costs far more than
// parsing a script, so feeding every input to both would hold the script parser to a tenth of
// its pace.)
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../tools/sim/cli.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(data, data + size);
    if (text.empty() || text[0] != '-') {
        kt735sim::parseScript(text, "fuzz");
        return 0;
    }

    std::vector<std::string> words = {"kt735sim"};
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        words.push_back(text.substr(start, end - start));
    }
    words.push_back(text.substr(start));
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    kt735sim::parseArguments(static_cast<int>(words.size()), argv.data());
    return 0;
}
