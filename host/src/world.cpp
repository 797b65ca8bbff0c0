#include "host/world.h"

#include <cstdio>
#include <cstdlib>

#include "host/ndis.h"
#include "host/pnp.h"
#include "host/smp.h"

namespace host {

World* World::current_ = nullptr;

World::World() {
    if (current_ != nullptr) {
        std::fprintf(stderr, "host: a World already exists; only one may exist at a time\n");
        std::abort();
    }
    current_ = this;
    ndis_ = std::make_unique<ndis::Library>(*this);
    pnp_ = std::make_unique<PnpManager>(*this);
}

World::~World() {
    processors_.reset();
    pnp_.reset();
    ndis_.reset();
    current_ = nullptr;
}

void World::startProcessors(unsigned count) {
    if (processors_ == nullptr) {
        processors_ = std::make_unique<Processors>(*this, count);
    }
}

void World::stopProcessors() {
    processors_.reset();
}

void World::noWorld() {
    std::fprintf(stderr, "host: a platform routine was called with no World in existence\n");
    std::abort();
}

} // namespace host
