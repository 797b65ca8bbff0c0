// The host PnP manager: loads a driver, adds devices and sends plug-and-play requests to the top
// of a device stack.
#pragma once

#include "host/ddk.h"

namespace host {
class World;

class PnpManager {
  public:
    explicit PnpManager(World& world) : world_(world) {}

  private:
    World& world_;
};

} // namespace host
