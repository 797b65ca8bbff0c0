// The wire side of the captures: every frame on a wire counted and written to the wire capture.
#pragma once

#include <string>

#include <wire.h>

#include "recorder.h"

namespace kt735sim {

// Counts every frame on one wire and hands it to the shared capture, if there is one.
class WireTap : public kt735::model::WirePeer {
  public:
    WireTap(WireCount& count, kt735::model::WirePeer* capture) : count_(count), capture_(capture) {}
    void onFrame(kt735::model::Segment& segment, const kt735::model::WireFrame& frame) override;

  private:
    WireCount& count_;
    kt735::model::WirePeer* capture_;
};

} // namespace kt735sim
