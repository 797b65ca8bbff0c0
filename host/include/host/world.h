// One simulated machine: the virtual clock, the verifier, memory and IRP accounting, the NDIS
// library and the PnP manager. Tests and tools create one World; the DDK routines act on the
// current one. Only one World exists at a time.
#pragma once

#include <memory>

#include "host/kernel.h"
#include "host/sched.h"
#include "host/verifier.h"

namespace host {

namespace ndis {
class Library;
}
class PnpManager;
class Processors;

class World {
  public:
    World();
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    Scheduler& scheduler() { return scheduler_; }
    Verifier& verifier() { return verifier_; }
    Memory& memory() { return memory_; }
    IrpRegistry& irps() { return irps_; }
    ndis::Library& ndis() { return *ndis_; }
    PnpManager& pnp() { return *pnp_; }

    Time now() const { return scheduler_.now(); }

    // The threaded mode (host/smp.h): `count` processor threads run the events from now on.
    // Called from outside any host call; stopProcessors waits for the events in progress and
    // the waits to end, and the single-threaded mode goes on from the same state.
    void startProcessors(unsigned count = 4);
    void stopProcessors();
    Processors* processors() { return processors_.get(); }

    // The current world; aborts with a clear message when none exists.
    static World& current() {
        if (current_ == nullptr) [[unlikely]] {
            noWorld();
        }
        return *current_;
    }
    static bool exists() { return current_ != nullptr; }

  private:
    [[noreturn]] static void noWorld();
    static World* current_;

    Scheduler scheduler_;
    Verifier verifier_;
    Memory memory_;
    IrpRegistry irps_;
    std::unique_ptr<ndis::Library> ndis_;
    std::unique_ptr<PnpManager> pnp_;
    std::unique_ptr<Processors> processors_;
};

inline World& world() {
    return World::current();
}

} // namespace host
