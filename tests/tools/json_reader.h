// Just enough JSON reading for the kt735sim tests: objects, arrays, strings, numbers, literals.
// Numbers keep their text, so virtual times compare exactly.
#pragma once

#include <cctype>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tools_test {

struct Json {
    std::string text; // string value, number text, or "true"/"false"/"null"
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& key) const {
        static const Json none;
        auto it = members.find(key);
        return it == members.end() ? none : it->second;
    }
    bool has(const std::string& key) const { return members.count(key) != 0; }
    double number() const { return std::stod(text); }

    static Json parse(const std::string& in) {
        std::size_t at = 0;
        Json value = read(in, at);
        if (next(in, at) != '\0') {
            throw std::runtime_error("trailing text at " + std::to_string(at));
        }
        return value;
    }

  private:
    // Skips white space; the character there, or '\0' at the end.
    static char next(const std::string& in, std::size_t& at) {
        while (at < in.size() && std::isspace(static_cast<unsigned char>(in[at]))) {
            at++;
        }
        return at < in.size() ? in[at] : '\0';
    }
    static void expect(const std::string& in, std::size_t& at, char c) {
        if (next(in, at) != c) {
            throw std::runtime_error(std::string("expected ") + c + " at " + std::to_string(at));
        }
        at++;
    }
    static std::string readString(const std::string& in, std::size_t& at) {
        expect(in, at, '"');
        std::string out;
        for (; at < in.size() && in[at] != '"'; at++) {
            if (in[at] != '\\') {
                out += in[at];
            } else if (in[++at] == 'u') {
                out += static_cast<char>(std::stoi(in.substr(at + 1, 4), nullptr, 16));
                at += 4;
            } else {
                out += in[at] == 'n' ? '\n' : in[at];
            }
        }
        expect(in, at, '"');
        return out;
    }
    // One value: an object's members or an array's items up to its closing bracket, a string,
    // or a number or literal as its text.
    static Json read(const std::string& in, std::size_t& at) {
        Json value;
        char c = next(in, at);
        if (c == '{' || c == '[') {
            char close = c == '{' ? '}' : ']';
            for (at++; next(in, at) != close;) {
                if (c == '{') {
                    std::string key = readString(in, at);
                    expect(in, at, ':');
                    value.members[key] = read(in, at);
                } else {
                    value.items.push_back(read(in, at));
                }
                if (next(in, at) == ',') {
                    at++;
                } else if (next(in, at) != close) {
                    throw std::runtime_error("expected , or " + std::string(1, close));
                }
            }
            at++;
        } else if (c == '"') {
            value.text = readString(in, at);
        } else if (c == '\0') {
            throw std::runtime_error("unexpected end");
        } else {
            std::size_t end = in.find_first_of(",}] \n", at);
            value.text = in.substr(at, end - at);
            at = end;
        }
        return value;
    }
};

} // namespace tools_test
