#include "host/world.h"

#include <cstdio>
#include <cstdlib>

#include "host/ndis.h"
#include "host/pnp.h"
#include "host/smp.h"

namespace host {

namespace {
World* g_current = nullptr;
}

World::World() {
    if (g_current != nullptr) {
        std::fprintf(stderr, "host: a World already exists; only one may exist at a time\n");
        std::abort();
    }
    g_current = this;
    ndis_ = std::make_unique<ndis::Library>(*this);
    pnp_ = std::make_unique<PnpManager>(*this);
}

World::~World() {
    processors_.reset();
    pnp_.reset();
    ndis_.reset();
    g_current = nullptr;
}

void World::startProcessors(unsigned count) {
    if (processors_ == nullptr) {
        processors_ = std::make_unique<Processors>(*this, count);
    }
}

void World::stopProcessors() {
    processors_.reset();
}

World& World::current() {
    if (g_current == nullptr) {
        std::fprintf(stderr, "host: a platform routine was called with no World in existence\n");
        std::abort();
    }
    return *g_current;
}

bool World::exists() {
    return g_current != nullptr;
}

} // namespace host
