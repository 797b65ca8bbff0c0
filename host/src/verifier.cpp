#include "host/verifier.h"

#include <cstdio>
#include <cstdlib>

namespace host {

std::string Violation::text() const {
    return "verifier: rule " + rule + " broken in " + call + ": " + message;
}

Verifier::Verifier()
    : handler_([](const Violation& v) {
          std::fprintf(stderr, "%s\n", v.text().c_str());
          std::abort();
      }) {}

void Verifier::report(const char* rule, std::string call, std::string message) {
    Violation v{rule, std::move(call), std::move(message)};
    std::lock_guard lock(mutex_);
    history_.push_back(v);
    if (handler_) {
        handler_(v);
    }
}

Verifier::Handler Verifier::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    std::swap(handler, handler_);
    return handler;
}

std::size_t Verifier::count(const std::string& rule) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& v : history_) {
        n += v.rule == rule ? 1 : 0;
    }
    return n;
}

} // namespace host
