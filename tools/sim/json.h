// A small JSON writer: objects, arrays, strings, integers and fixed-point numbers, indented one
// member per line so that the record diffs well.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kt735sim {

class JsonWriter {
  public:
    void beginObject(std::string_view key = {}) { open(key, '{'); }
    void endObject() { close('}'); }
    void beginArray(std::string_view key = {}) { open(key, '['); }
    void endArray() { close(']'); }

    void string(std::string_view key, std::string_view value) {
        member(key);
        quote(value);
    }
    void number(std::string_view key, std::int64_t value) {
        member(key);
        out_ += std::to_string(value);
    }
    // A number already formatted (a virtual time in seconds, for example).
    void raw(std::string_view key, std::string_view text) {
        member(key);
        out_ += text;
    }
    void boolean(std::string_view key, bool value) {
        member(key);
        out_ += value ? "true" : "false";
    }

    const std::string& text() const { return out_; }

  private:
    struct Level {
        bool first = true;
    };

    void member(std::string_view key) {
        if (!levels_.empty()) {
            if (!levels_.back().first) {
                out_ += ',';
            }
            levels_.back().first = false;
            out_ += '\n';
            out_.append(levels_.size() * 2, ' ');
        }
        if (!key.empty()) {
            quote(key);
            out_ += ": ";
        }
    }
    void open(std::string_view key, char bracket) {
        member(key);
        out_ += bracket;
        levels_.push_back({});
    }
    void close(char bracket) {
        bool empty = levels_.back().first;
        levels_.pop_back();
        if (!empty) {
            out_ += '\n';
            out_.append(levels_.size() * 2, ' ');
        }
        out_ += bracket;
        if (levels_.empty()) {
            out_ += '\n';
        }
    }
    void quote(std::string_view text) {
        static const char* digits = "0123456789abcdef";
        out_ += '"';
        for (char c : text) {
            auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += c;
            } else if (c == '\n') {
                out_ += "\\n";
            } else if (u < 0x20) {
                out_ += "\\u00";
                out_ += digits[u >> 4];
                out_ += digits[u & 0xF];
            } else {
                out_ += c;
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<Level> levels_;
};

} // namespace kt735sim
