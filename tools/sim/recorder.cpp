#include "recorder.h"

#include "format.h"

namespace kt735sim {

void TextOutput::print(host::Time t, const std::string& text) {
    if (quiet_) {
        return;
    }
    if (text == pendingText_) {
        pendingCount_++;
        pendingLast_ = t;
        return;
    }
    flush();
    pendingText_ = text;
    pendingCount_ = 1;
    pendingTime_ = t;
    pendingLast_ = t;
}

void TextOutput::flush() {
    if (pendingCount_ == 0) {
        return;
    }
    out_ << stamp(pendingTime_) << "  " << pendingText_;
    if (pendingCount_ > 1) {
        out_ << "  (x" << pendingCount_;
        if (pendingLast_ != pendingTime_) {
            std::string until = stamp(pendingLast_);
            out_ << ", until " << until.substr(until.find_first_not_of(' '));
        }
        out_ << ")";
    }
    out_ << std::endl; // written as it happens, whatever stdout is
    pendingCount_ = 0;
    pendingText_.clear();
}

void TextOutput::line(const std::string& text) {
    if (!quiet_) {
        flush();
        out_ << text << std::endl;
    }
}

} // namespace kt735sim
