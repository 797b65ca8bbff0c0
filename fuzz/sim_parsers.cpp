// kt735sim's parsers: the input is a script, and, split at newlines, a command line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../tools/sim/cli.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(data, data + size);
    kt735sim::parseScript(text, "fuzz");

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
