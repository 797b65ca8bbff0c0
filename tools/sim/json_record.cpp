#include "json_record.h"

#include "format.h"
#include "json.h"
#include "names.h"

namespace kt735sim {

std::string jsonRecord(const RunRecord& run, int exitStatus) {
    JsonWriter json;
    json.beginObject();
    json.string("initialize", run.initializeStatus ? hex32(*run.initializeStatus) : "");
    json.string("initialize_name", run.initializeStatus ? statusName(*run.initializeStatus) : "");
    json.string("start_device", run.startDeviceStatus ? hex32(*run.startDeviceStatus) : "");
    json.raw("initialized_at", seconds(run.t0));
    json.beginArray("events");
    for (const Record& r : run.records) {
        json.beginObject();
        json.raw("t", seconds(r.t));
        json.string("kind", r.kind);
        for (const Field& f : r.fields) {
            if (f.quoted) {
                json.string(f.key, f.value);
            } else {
                json.raw(f.key, f.value);
            }
        }
        json.endObject();
    }
    json.endArray();
    json.beginObject("counters");
    for (const auto& [name, value] : run.counters) {
        json.number(name, value);
    }
    json.endObject();
    json.beginObject("summary");
    json.number("sent", static_cast<std::int64_t>(run.frames.sent));
    json.number("send_completed", static_cast<std::int64_t>(run.frames.sendCompleted));
    json.number("send_errors", static_cast<std::int64_t>(run.frames.sendErrors));
    json.number("indicated", static_cast<std::int64_t>(run.frames.indicated));
    for (const auto& [name, count] : run.wires) {
        json.beginObject(name);
        json.number("from_adapter", static_cast<std::int64_t>(count.fromAdapter));
        json.number("to_adapter", static_cast<std::int64_t>(count.toAdapter));
        json.endObject();
    }
    json.beginArray("violations");
    for (const std::string& v : run.violations) {
        json.string({}, v);
    }
    json.endArray();
    json.beginArray("leaks");
    for (const std::string& l : run.leaks) {
        json.string({}, l);
    }
    json.endArray();
    json.number("exit", exitStatus);
    json.endObject();
    json.endObject();
    return json.text();
}

} // namespace kt735sim
