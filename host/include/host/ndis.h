// The host NDIS library: registered miniports, adapter instances and the upper edge.
#pragma once

#include "host/ddk.h"

namespace host {
class World;
namespace ndis {

class Library {
  public:
    explicit Library(World& world) : world_(world) {}

  private:
    World& world_;
};

} // namespace ndis
} // namespace host
