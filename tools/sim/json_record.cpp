#include "json_record.h"

#include "cli.h"
#include "format.h"
#include "names.h"

namespace kt735sim {

// The version of the record's layout; raised when a member changes meaning or goes away.
const int kJsonSchema = 2;

// Virtual seconds as a JSON number; 100 ns units divide exactly enough to print as written.
double timeValue(host::Time t) {
    return static_cast<double>(t) / static_cast<double>(host::kSecond);
}

Json statusJson(std::uint32_t status) {
    return Json{{"status", hex32(status)}, {"status_name", statusName(status)}};
}

std::string jsonRecord(const RunRecord& run, int exitStatus) {
    Json json;
    json["schema"] = kJsonSchema;
    json["tool"] = {{"name", "kt735sim"}, {"version", kToolVersion}};
    json["driver"] = {{"name", "KT735N"}, {"version", driverVersion()}};
    json["time_base"] = "seconds after MiniportInitialize returned";
    json["inputs"] = run.inputs;
    json["initialize"] = run.initializeStatus ? statusJson(*run.initializeStatus) : Json(nullptr);
    json["start_device"] =
        run.startDeviceStatus ? statusJson(*run.startDeviceStatus) : Json(nullptr);
    json["initialized_at"] = timeValue(run.t0);
    json["events"] = Json::array();
    for (const Record& r : run.records) {
        Json event = {{"t", timeValue(r.t)}, {"kind", r.kind}};
        event.update(r.fields);
        json["events"].push_back(std::move(event));
    }
    json["counters"] = Json::array();
    for (const auto& [name, value] : run.counters) {
        json["counters"].push_back(
            {{"oid", hex32(oidByName(name).value_or(0))}, {"name", name}, {"value", value}});
    }
    Json summary = {{"sent", run.frames.sent},
                    {"send_completed", run.frames.sendCompleted},
                    {"send_errors", run.frames.sendErrors},
                    {"indicated", run.frames.indicated},
                    {"faults", run.faultsFired}};
    summary["wires"] = Json::array();
    for (const auto& [name, count] : run.wires) {
        summary["wires"].push_back(
            {{"wire", name}, {"from_adapter", count.fromAdapter}, {"to_adapter", count.toAdapter}});
    }
    summary["violations"] = run.violations;
    summary["leaks"] = run.leaks;
    summary["exit"] = exitStatus;
    json["summary"] = std::move(summary);
    return json.dump(2) + "\n";
}

} // namespace kt735sim
