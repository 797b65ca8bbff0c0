// A running adapter for the transmit and query tests, on the common driver fixture: the
// adapter initialized on the Ethernet medium (MediaSel 1), a recorder on the Ethernet wire,
// and helpers that read the frames from the wire.
#pragma once

#include <cstdint>
#include <vector>

#include "datapath/datapath.h"
#include "fixture.h"
#include "usb/registers.h"

namespace transmit_test {

class TransmitFixture : public kt735n_test::DriverFixture {
  protected:
    void SetUp() override {
        DriverFixture::SetUp();
        parameters().set("MediaSel", 1u);
        recorder_ = &device_.ethernet().attach<kt735::model::Recorder>();
    }

    // Starts the adapter and lets the link settle; the logs and the wire record start empty.
    void startTransmitting() {
        startRunning();
        adapter_ = adapter();
        recorder_->clear();
    }

    // The transfer the driver makes of a frame of 58 bytes or more: length header, frame.
    static std::vector<std::uint8_t> image(const std::vector<std::uint8_t>& f) {
        std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(f.size() & 0xFF),
                                        static_cast<std::uint8_t>(f.size() >> 8)};
        bytes.insert(bytes.end(), f.begin(), f.end());
        return bytes;
    }

    // Frames the adapter put on the Ethernet wire.
    std::vector<std::vector<std::uint8_t>> wire() const {
        std::vector<std::vector<std::uint8_t>> frames;
        for (const kt735::model::WireFrame& f : recorder_->sentByAdapter()) {
            frames.push_back(f.bytes);
        }
        return frames;
    }

    kt735::model::Recorder* recorder_ = nullptr;
    Adapter* adapter_ = nullptr;
};

} // namespace transmit_test
