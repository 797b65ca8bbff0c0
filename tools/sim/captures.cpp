#include "captures.h"

namespace kt735sim {

void WireTap::onFrame(kt735::model::Segment& segment, const kt735::model::WireFrame& frame) {
    if (frame.direction == kt735::model::Direction::FromAdapter) {
        count_.fromAdapter++;
    } else {
        count_.toAdapter++;
    }
    if (capture_ != nullptr) {
        capture_->onFrame(segment, frame);
    }
}

} // namespace kt735sim
