// The end of a run in writing: the JSON record and the plot, and the summary in text (frames,
// the driver's counters, violations and leaks).
#include "simulation_run.h"

namespace kt735sim {

// Writes the JSON record and the plot; false when one could not be written completely.
bool Simulation::writeOutputs(std::ostream& err, int exitStatus) {
    bool ok = true;
    auto write = [&](const std::string& option, const std::string& path, const std::string& text) {
        if (path == "-") {
            out_ << text << std::flush;
            ok = ok && out_.good();
            return;
        }
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << text;
        file.close();
        if (!file) {
            err << "kt735sim: " << option << ": writing '" << path
                << "' failed; the file is incomplete\n";
            ok = false;
        }
    };
    if (options_.json) {
        write("--json", *options_.json, jsonRecord(run_, exitStatus));
    }
    if (options_.plot) {
        write("--plot", *options_.plot, plotSvg(run_));
    }
    return ok;
}

void Simulation::summary() {
    const kt735::model::Counters& chip = device_->counters();
    WireCount wire;
    std::uint64_t lost = 0;
    for (const auto& [name, n] : run_.wires) {
        wire.fromAdapter += n.fromAdapter;
        wire.toAdapter += n.toAdapter;
    }
    lost = device_->ethernet().framesLostToAdapter() + device_->phoneLine().framesLostToAdapter();
    auto dropped = [](std::initializer_list<std::pair<std::uint64_t, const char*>> reasons) {
        std::string text;
        for (auto [n, why] : reasons) {
            if (n != 0) {
                text += (text.empty() ? "; chip dropped " : ", ") + std::to_string(n) + " " + why;
            }
        }
        return text;
    };
    line("summary");
    line("  frames sent      " + std::to_string(run_.frames.sent) + " by MiniportSend, " +
         std::to_string(run_.frames.sendCompleted) + " completed (" +
         std::to_string(run_.frames.sendErrors) + " failed), " + std::to_string(wire.fromAdapter) +
         " reached a live wire" +
         dropped({{chip.txDroppedNoLink, "without link"},
                  {chip.txDroppedDisabled, "transmitter off"},
                  {chip.txSpeedMismatch, "speed/duplex mismatch"},
                  {chip.txOversize, "oversize"},
                  {chip.txMalformed, "malformed"}}));
    line("  frames received  " + std::to_string(wire.toAdapter) + " sent by the peer, " +
         std::to_string(lost) + " lost before the chip (cord out or no link), " +
         std::to_string(run_.frames.indicated) + " indicated" +
         dropped({{chip.rxFiltered, "not addressed"},
                  {chip.rxOverflow, "FIFO full"},
                  {chip.rxDroppedDisabled, "receiver off"},
                  {chip.rxOversize, "oversize"},
                  {chip.rxRunt, "runt"}}));
    if (tap_) {
        const TapBridge::Counts& n = tap_->counts();
        auto head = [](const std::string& name) {
            return "  " + name + std::string(name.size() < 16 ? 17 - name.size() : 1, ' ');
        };
        line(head(tap_->hostName()) + std::to_string(n.hostRead) + " frames from Linux (" +
             std::to_string(n.hostOversize) + " over 1514 bytes dropped, " +
             std::to_string(n.hostRefused) + " refused), " + std::to_string(n.hostWritten) +
             " indicated to Linux (" + std::to_string(n.hostFiltered) +
             " not selected by its filter, " + std::to_string(n.hostNotTaken) + " not taken)");
        line(head(tap_->peerName()) + std::to_string(n.peerRead) + " frames onto the wire, " +
             std::to_string(n.peerWritten) + " from the wire (" + std::to_string(n.peerDropped) +
             " dropped, the wire's queue full)");
    }
    line("  verifier         " + (run_.violations.empty()
                                      ? std::string("no violations")
                                      : count(run_.violations.size(), "violation")));
    if (run_.faultsArmed != 0) {
        line("  faults           " + std::to_string(run_.faultsArmed) + " armed, " +
             std::to_string(run_.faultsFired) + " fired");
    }
    line("  leaks            " + (run_.leaks.empty() ? std::string("none") : "see below"));
    if (run_.counters.empty()) {
        line("  driver counters  not read (the adapter was not running at the end)");
        return;
    }
    line("  driver counters  (statistics OIDs, read before halt)");
    for (const auto& [name, value] : run_.counters) {
        char text[80];
        std::snprintf(text, sizeof(text), "    %-32s %10u", name.c_str(), value);
        line(text);
    }
}

} // namespace kt735sim
