// Just enough JSON reading for the kt735sim tests: objects, arrays, strings, numbers, literals.
// Numbers keep their text, so virtual times compare exactly.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tools_test {

struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    std::string text; // string value, number text, or "true"/"false"
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
        skip(in, at);
        if (at != in.size()) {
            throw std::runtime_error("trailing text at " + std::to_string(at));
        }
        return value;
    }

  private:
    static void skip(const std::string& in, std::size_t& at) {
        while (at < in.size() && std::isspace(static_cast<unsigned char>(in[at]))) {
            at++;
        }
    }
    static void expect(const std::string& in, std::size_t& at, char c) {
        skip(in, at);
        if (at >= in.size() || in[at] != c) {
            throw std::runtime_error(std::string("expected ") + c + " at " + std::to_string(at));
        }
        at++;
    }
    static std::string readString(const std::string& in, std::size_t& at) {
        expect(in, at, '"');
        std::string out;
        while (at < in.size() && in[at] != '"') {
            if (in[at] == '\\') {
                at++;
                if (in[at] == 'u') {
                    out += static_cast<char>(std::stoi(in.substr(at + 1, 4), nullptr, 16));
                    at += 4;
                } else {
                    out += in[at] == 'n' ? '\n' : in[at];
                }
            } else {
                out += in[at];
            }
            at++;
        }
        expect(in, at, '"');
        return out;
    }
    static Json read(const std::string& in, std::size_t& at) {
        skip(in, at);
        Json value;
        if (at >= in.size()) {
            throw std::runtime_error("unexpected end");
        }
        char c = in[at];
        if (c == '{') {
            value.type = Type::Object;
            at++;
            skip(in, at);
            while (in[at] != '}') {
                std::string key = readString(in, at);
                expect(in, at, ':');
                value.members[key] = read(in, at);
                skip(in, at);
                if (in[at] == ',') {
                    at++;
                    skip(in, at);
                }
            }
            at++;
        } else if (c == '[') {
            value.type = Type::Array;
            at++;
            skip(in, at);
            while (in[at] != ']') {
                value.items.push_back(read(in, at));
                skip(in, at);
                if (in[at] == ',') {
                    at++;
                    skip(in, at);
                }
            }
            at++;
        } else if (c == '"') {
            value.type = Type::String;
            value.text = readString(in, at);
        } else {
            std::size_t end = in.find_first_of(",}] \n", at);
            value.text = in.substr(at, end - at);
            at = end;
            value.type = value.text == "null"                            ? Type::Null
                         : value.text == "true" || value.text == "false" ? Type::Bool
                                                                         : Type::Number;
        }
        return value;
    }
};

} // namespace tools_test
