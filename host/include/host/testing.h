// Test support for code running on the host platform (header-only; uses GoogleTest).
//
// WorldTest gives each test a fresh World whose verifier fails the test on any broken rule.
// ExpectViolation captures violations of one rule instead, for tests that break it on purpose.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/world.h"

namespace host::testing {

class WorldTest : public ::testing::Test {
  protected:
    WorldTest() {
        world_ = std::make_unique<World>();
        world_->verifier().setHandler([](const Violation& v) { ADD_FAILURE() << v.text(); });
    }

    World& world() { return *world_; }
    Scheduler& scheduler() { return world_->scheduler(); }
    Verifier& verifier() { return world_->verifier(); }
    Memory& memory() { return world_->memory(); }

    std::unique_ptr<World> world_;
};

// While alive, violations of `rule` are collected instead of failing the test; any other rule
// still fails it. On destruction, fails the test when `rule` never fired (unless allowed).
class ExpectViolation {
  public:
    explicit ExpectViolation(std::string rule, bool mustFire = true)
        : rule_(std::move(rule)), mustFire_(mustFire) {
        previous_ = World::current().verifier().setHandler([this](const Violation& v) {
            if (v.rule == rule_) {
                seen_.push_back(v);
            } else if (previous_) {
                previous_(v);
            }
        });
    }
    ~ExpectViolation() {
        if (World::exists()) {
            World::current().verifier().setHandler(previous_);
        }
        if (mustFire_ && seen_.empty()) {
            ADD_FAILURE() << "expected the verifier to report " << rule_;
        }
    }
    ExpectViolation(const ExpectViolation&) = delete;
    ExpectViolation& operator=(const ExpectViolation&) = delete;

    const std::vector<Violation>& seen() const { return seen_; }
    std::size_t count() const { return seen_.size(); }

  private:
    std::string rule_;
    bool mustFire_;
    Verifier::Handler previous_;
    std::vector<Violation> seen_;
};

} // namespace host::testing
