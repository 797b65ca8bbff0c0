// kt735sim from the outside: the program is run on small scripts and judged by its exit status,
// its messages, its JSON record (read with nlohmann-json), its captures (read by tshark) and its
// plot.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <unistd.h>

namespace kt735sim {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Strings = std::vector<std::string>;

std::string slurp(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// A value as the tests compare it: strings bare, anything else as JSON text.
std::string text(const Json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

struct SimRun {
    int exit = -1;
    std::string out, err;
    Json json; // null when no record was written

    std::vector<Json> events(const std::string& kind) const {
        std::vector<Json> found;
        if (json.is_object()) {
            for (const Json& e : json["events"]) {
                if (e["kind"] == kind) {
                    found.push_back(e);
                }
            }
        }
        return found;
    }
    Strings all(const std::string& kind, const std::string& key) const {
        Strings values;
        for (const Json& e : events(kind)) {
            values.push_back(e.contains(key) ? text(e[key]) : "<none>");
        }
        return values;
    }
    std::string counter(const std::string& name) const {
        for (const Json& c : json["counters"]) {
            if (c["name"] == name) {
                return text(c["value"]);
            }
        }
        return "<none>";
    }
};

class Kt735SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // One directory per process: other checkouts may run the same tests at the same time.
        dir_ = fs::path(::testing::TempDir()) / ("kt735sim-" + std::to_string(getpid())) /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }

    void TearDown() override {
        if (!HasFailure()) {
            fs::remove_all(dir_.parent_path());
        }
    }

    fs::path path(const std::string& name) const { return dir_ / name; }

    // Runs kt735sim with --json and `args`; a non-empty `script` is passed with --script. The
    // command line goes through the shell after `prefix` (a pipe or a limit, for example).
    SimRun sim(std::vector<std::string> args, const std::string& script = "",
               const std::string& prefix = "", bool json = true) {
        fs::remove(path("run.json"));
        if (!script.empty()) {
            std::ofstream(path("script.txt")) << script;
            args.insert(args.end(), {"--script", path("script.txt").string()});
        }
        std::string command = prefix + "'" + KT735SIM + "'";
        if (json) {
            command += " --json '" + path("run.json").string() + "'";
        }
        for (const std::string& a : args) {
            command += " '" + a + "'";
        }
        command += " >'" + path("out").string() + "' 2>'" + path("err").string() + "'";
        int status = std::system(("sh -c \"" + command + "\"").c_str());
        SimRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(path("out")),
                   slurp(path("err")), nullptr};
        std::string record = slurp(path("run.json"));
        run.json = Json::parse(record, nullptr, false); // a cut-off record stays unread
        if (run.json.is_discarded()) {
            run.json = nullptr;
        }
        return run;
    }

    // The wire capture through tshark: one line "interface eth.dst eth.type" per frame.
    Strings wireFrames(const fs::path& capture) const {
        std::string command = "tshark -r '" + capture.string() +
                              "' -T fields -e frame.interface_name -e eth.dst -e eth.type "
                              "2>/dev/null >'" +
                              path("frames.txt").string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        Strings lines;
        std::istringstream in(slurp(path("frames.txt")));
        for (std::string line; std::getline(in, line);) {
            std::replace(line.begin(), line.end(), '\t', ' ');
            lines.push_back(line);
        }
        return lines;
    }

    fs::path dir_;
};

bool haveTshark() {
    return std::system("tshark -v >/dev/null 2>&1") == 0;
}

// What MiniportInitialize returned, or "none" when it never ran.
std::string initializeStatus(const SimRun& run) {
    const Json& init = run.json["initialize"];
    return init.is_object() ? text(init["status"]) : "none";
}

// MiniportInitialize succeeded in the run.
#define ASSERT_INITIALIZED(run)                                                                    \
    ASSERT_EQ((run).exit, 0) << (run).err;                                                         \
    ASSERT_EQ(text((run).json["initialize"]["status_name"]), "NDIS_STATUS_SUCCESS")

// The default scenario: the adapter's whole life, the same on every run, its record complete
// and in order, one capture interface per wire.
TEST_F(Kt735SimTest, DefaultScenarioIsCompleteAndRepeatable) {
    const Strings args = {"--usb-pcap",  path("usb.pcap").string(),
                          "--wire-pcap", path("wire.pcapng").string(),
                          "--plot",      path("run.svg").string()};
    SimRun run = sim(args);
    ASSERT_INITIALIZED(run);
    EXPECT_EQ(run.json["schema"], 2);
    EXPECT_EQ(run.json["driver"]["version"], "3.06");
    EXPECT_EQ(run.json["inputs"]["script"]["name"], "default scenario");
    EXPECT_EQ(run.json["inputs"]["wires"]["ethernet_partner"], "0x01E1");

    // Cable pulled, phone line found, phone line lost, cable back: every change of the chip's
    // medium is recorded, each status with its completion.
    EXPECT_EQ(run.all("status", "status_name"),
              (Strings{"NDIS_STATUS_MEDIA_DISCONNECT", "NDIS_STATUS_MEDIA_CONNECT",
                       "NDIS_STATUS_MEDIA_DISCONNECT", "NDIS_STATUS_MEDIA_CONNECT"}));
    EXPECT_EQ(run.events("status-complete").size(), 4u);
    Strings media = run.all("medium", "medium");
    media.erase(std::unique(media.begin(), media.end()), media.end());
    EXPECT_EQ(media, (Strings{"ethernet", "phone-line", "ethernet"}));
    EXPECT_EQ(run.all("receive", "length"), (Strings{"200", "200", "200", "80", "80", "1514"}));
    EXPECT_EQ(run.counter("OID_GEN_XMIT_OK"), "6");
    EXPECT_EQ(run.counter("OID_GEN_RCV_OK"), "6");
    EXPECT_EQ(run.json["summary"]["violations"], Json::array());
    EXPECT_EQ(run.json["summary"]["leaks"], Json::array());
    EXPECT_EQ(run.all("halt", "t"), Strings{"15.0"});

    // Each send is recorded before its completion; events are in time order.
    std::vector<int> sent;
    double last = -1e9;
    for (const Json& e : run.json["events"]) {
        EXPECT_GE(e["t"].get<double>(), last) << e.dump();
        last = e["t"].get<double>();
        if (e["kind"] == "send") {
            sent.push_back(e["id"]);
        } else if (e["kind"] == "send-complete") {
            EXPECT_NE(std::find(sent.begin(), sent.end(), e["id"].get<int>()), sent.end());
        }
    }
    EXPECT_EQ(sent.size(), 6u);

    // The summary's table of the driver's counters closes the text.
    EXPECT_TRUE(contains(run.out, "6 reached a live wire")) << run.out;
    EXPECT_TRUE(contains(run.out.substr(run.out.find("driver counters")), "OID_GEN_RCV_OK"));
    std::string svg = slurp(path("run.svg"));
    for (const char* part : {"<svg", "Ethernet link", "phone-line link", "frames/s", "</svg>"}) {
        EXPECT_TRUE(contains(svg, part)) << part;
    }
    if (haveTshark()) {
        std::map<std::string, int> perWire;
        for (const std::string& frame : wireFrames(path("wire.pcapng"))) {
            perWire[frame.substr(0, frame.find(' '))]++;
        }
        EXPECT_EQ(perWire, (std::map<std::string, int>{{"ethernet", 8}, {"phone-line", 4}}));
    }

    auto outputs = [&](const SimRun& r) {
        return r.out + r.json.dump() + slurp(path("usb.pcap")) + slurp(path("wire.pcapng")) +
               slurp(path("run.svg"));
    };
    std::string first = outputs(run);
    EXPECT_EQ(outputs(sim(args)), first);
}

// Every way a run can be refused or its record lost: the exit status and the message that
// names the cause. Refusals (2) run nothing; a record that could not be written is 1.
TEST_F(Kt735SimTest, ExitStatusesAndMessages) {
    struct Case {
        Strings args;
        std::string script;
        int exit;
        std::string message;
        std::string prefix = "";
    };
    const std::string script = path("script.txt").string();
    const std::vector<Case> cases = {
        {{"--frobnicate"}, "", 2, "unknown option '--frobnicate'"},
        {{"--mac", "00:12:34:56:78"}, "", 2, "--mac"},
        {{"--param", "MediaType"}, "", 2, "NAME=VALUE"},
        {{"--duration"}, "", 2, "--duration needs a value"},
        {{"--tap", "kt0,kt0"}, "", 2, "--tap: expected two different interface names"},
        {{"--tap", "kt0,bad/name"}, "", 2, "--tap: expected two different interface names"},
        {{"--script", "/nonexistent/script.txt"}, "", 2, "cannot read"},
        {{"--script", dir_.string()}, "", 2, "is a directory"},
        {{"--init-fault", "bulk-in:fail:1"}, "", 2, "the effect is error, stall or hang"},
        {{"--init-fault", "pool:fail:0"}, "", 2, "N counts from 1"},
        {{"--config-descriptor", "0902x"}, "", 2, "--config-descriptor: expected hex bytes"},
        {{"--processors", "0"}, "", 2, "--processors: expected a count from 1 to 64, got '0'"},
        {{}, "at 1s fault pool stall\n", 2, "script.txt:1: fault pool: the effect is fail"},
        {{}, "at 1s fault disk error 2\n", 2, "script.txt:1: unknown fault target 'disk'"},
        {{"--usb-pcap", path("a").string(), "--plot", path("./a").string()},
         "",
         2,
         "--usb-pcap and --plot name the same file"},
        {{"--wire-pcap", script}, "at 1s halt\n", 2, "--script and --wire-pcap name the same"},
        {{"--json", "-", "--plot", "-"}, "", 2, "--json and --plot both name standard output"},
        {{}, "at 1s query OID_GEN_LINK_SPEED\nat 2 halt\n", 2, "script.txt:2: bad time '2'"},
        {{}, "# comment\n\nat 1s dance\n", 2, "script.txt:3: unknown command 'dance'"},
        {{}, "at 1s send 1 1515\n", 2, "script.txt:1: send: SIZE"},
        {{}, "at 1s send 1 60 chain 14,50\n", 2, "must not exceed SIZE 60"},
        {{}, "at 1s receive 1 60 to nowhere\n", 2, "receive: to: expected broadcast"},
        {{}, "at 1s query OID_GEN_XMIT_OK 2 0102030405\n", 2, "do not fit a buffer of 2"},
        {{},
         "at 1s unplug\nat 2s query OID_GEN_XMIT_OK\n",
         2,
         "script.txt:2: 'query OID_GEN_XMIT_OK' comes after the unplug at line 1"},
        {{}, "at 2s halt\nat 1s halt\n", 2, "script.txt:1: 'halt' comes after the halt at line 2"},
        {{"--duration", "2"},
         "at 1s reset\nat 3s halt\n",
         2,
         "script.txt:2: 'halt' is later than --duration"},
        {{"--quiet", "--plot", "/dev/full"}, "", 1, "--plot: writing '/dev/full' failed"},
        {{"--usb-pcap", path("big.pcap").string(), "--quiet"},
         "",
         1,
         "--usb-pcap: writing '" + path("big.pcap").string() + "' failed",
         "trap '' XFSZ; ulimit -f 8; "},
        {{"--param", "Foo=1", "--param", "MediaType=9", "--quiet"},
         "at 0s halt\n",
         0,
         "warning: --param Foo: the driver does not read this keyword; ignored\n"
         "kt735sim: warning: --param MediaType=9: outside the installation's range 0 to 4"},
        // The default scenario on four processors ends as clean as on one.
        {{"--processors", "4", "--quiet"}, "", 0, ""},
        {{"--quiet"}, "\xEF\xBB\xBF# Notepad\r\nat 0s query OID_GEN_XMIT_OK\r\n", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        SimRun run = sim(c.args, c.script, c.prefix);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        EXPECT_TRUE(contains(run.err, c.message)) << run.err;
        if (c.exit == 2) {
            EXPECT_EQ(run.out, "");
            EXPECT_TRUE(run.json.is_null());
        }
    }
    EXPECT_EQ(sim({"--quiet", "--json", "/dev/full"}, "", "", false).exit, 1);
    EXPECT_EQ(std::system(("'" + std::string(KT735SIM) + "' >/dev/full 2>/dev/null").c_str()) >> 8,
              1);
}

// Options reach the driver: the EEPROM address and NetworkAddress, no cable but a live phone
// line, the model's configuration given as bytes and a device descriptor cut short (only its
// identifiers are used). Queries are recorded with the driver's answer (flags in hex), sets with
// the bytes given; a pended set with its completion, a refused one at once. The script comes
// from standard input and the record goes to standard output.
TEST_F(Kt735SimTest, OptionsReachTheDriverAndRequestsAreRecorded) {
    std::ofstream(path("in.txt")) << "at 0s query OID_802_3_PERMANENT_ADDRESS\n"
                                     "at 0s query OID_802_3_CURRENT_ADDRESS\n"
                                     "at 0s query OID_GEN_VENDOR_DESCRIPTION 40\n"
                                     "at 0s query OID_PNP_QUERY_POWER 4 04000000\n"
                                     "at 0s set OID_GEN_CURRENT_PACKET_FILTER 0b000000\n"
                                     "at 0s set OID_GEN_CURRENT_LOOKAHEAD 00\n"
                                     "at 0s query OID_GEN_VENDOR_DRIVER_VERSION\n"
                                     "at 10ms send 2 64\n";
    SimRun run = sim({"--mac", "00:12:34:00:00:01", "--param", "NetworkAddress=0012ABCDEF01",
                      "--ethernet", "none", "--phoneline", "0x5C22:up", "--script", "-", "--json",
                      "-", "--device-descriptor", "1201", "--config-descriptor",
                      "09022700010100a0320904000003ffffff000705810240000007050202400000070583"
                      "03400001"},
                     "", "<'" + path("in.txt").string() + "' ", false);
    run.json = Json::parse(run.out);
    ASSERT_INITIALIZED(run);
    EXPECT_EQ(run.json["inputs"]["script"]["name"], "standard input");
    EXPECT_EQ(run.all("initialized", "medium"), Strings{"phone-line"});
    EXPECT_EQ(run.all("query", "data"),
              (Strings{"001234000001", "0012abcdef01", "", "01000000", "0603"}));
    EXPECT_EQ(run.all("query", "input"),
              (Strings{"<none>", "<none>", "<none>", "04000000", "<none>"}));
    EXPECT_EQ(run.all("query", "bytes_needed"),
              (Strings{"<none>", "<none>", "19", "<none>", "<none>"}));
    EXPECT_EQ(run.all("set", "data"), (Strings{"0b000000", "00"}));
    EXPECT_EQ(run.all("set", "status_name"),
              (Strings{"NDIS_STATUS_PENDING", "NDIS_STATUS_INVALID_LENGTH"}));
    EXPECT_EQ(run.all("set-complete", "status"), Strings{"0x00000000"});
    EXPECT_EQ(run.all("set-complete", "bytes_read"), Strings{"4"});
    for (const Json& wire : run.json["summary"]["wires"]) {
        EXPECT_EQ(wire["from_adapter"], wire["wire"] == "phone-line" ? 2 : 0);
    }
}

// The scenario forms: chained sends to chosen destinations and EtherTypes, receives from and to
// chosen stations (the packet filter decides: another station's frames are dropped by the chip),
// paced traffic, and a replug to a slower partner shown as it happens.
TEST_F(Kt735SimTest, ScenarioForms) {
    SimRun run = sim({"--wire-pcap", path("wire.pcapng").string()},
                     "at 0s send 2 60 chain 14,0,46 to broadcast type 0x0800\n"
                     "at 0s receive 1 60 to ff:ff:ff:ff:ff:ff from 02:00:00:00:00:09 type 0x0806\n"
                     "at 100ms receive 2 60 to 02:00:00:00:00:77\n"
                     "at 200ms receive 3 64 every 100ms\n"
                     "at 7s send 6 60 every 100ms\n"
                     "at 1s ethernet none\n"
                     "at 3s ethernet 0x0021\n"
                     "at 6s query OID_GEN_VENDOR_DRIVER_VERSION\n"
                     "at 6s set OID_GEN_CURRENT_PACKET_FILTER 0b000000\n"
                     "at 7s query OID_GEN_CURRENT_PACKET_FILTER\n");
    ASSERT_INITIALIZED(run);
    Strings chains = run.all("send", "chain");
    EXPECT_EQ(chains, (Strings{"[14,0,46]", "[14,0,46]", "<none>", "<none>", "<none>", "<none>",
                               "<none>", "<none>"}));
    EXPECT_EQ(run.all("send", "t").back(), "7.5");
    EXPECT_EQ(run.all("receive", "t"), (Strings{"0.001", "0.201", "0.301", "0.401"}));
    EXPECT_EQ(run.all("receive", "data")[0].substr(0, 28), "ffffffffffff0200000000090806");
    EXPECT_EQ(run.all("drop", "reason"), Strings{"receive: not addressed"});
    EXPECT_EQ(run.all("drop", "count"), Strings{"2"});
    EXPECT_TRUE(contains(run.out, "chip dropped 2 frames (receive: not addressed)"));
    EXPECT_TRUE(contains(run.out, "      6.000 s  query OID_GEN_VENDOR_DRIVER_VERSION: 0x0306"));
    EXPECT_TRUE(contains(run.out, "query OID_GEN_CURRENT_PACKET_FILTER: 0x0000000B"));
    EXPECT_TRUE(contains(run.out, "chip on Ethernet, 10 Mbit/s half duplex, link up")) << run.out;
    EXPECT_EQ(run.all("medium", "mbps").back(), "10");
    if (haveTshark()) {
        Strings frames = wireFrames(path("wire.pcapng"));
        EXPECT_EQ(std::count(frames.begin(), frames.end(), "ethernet ff:ff:ff:ff:ff:ff 0x0800"), 2);
    }
}

// A burst longer than the protocol's pool of 256 packets goes out whole as completions bring
// packets back; a halt while part of one still waits says how much was never sent.
TEST_F(Kt735SimTest, BurstsLongerThanThePacketPool) {
    SimRun run = sim({"--duration", "2"}, "at 0s send 300 60\n");
    ASSERT_INITIALIZED(run);
    EXPECT_EQ(run.events("send").size(), 300u);
    EXPECT_EQ(run.json["summary"]["send_completed"], 300);
    EXPECT_EQ(run.json["summary"]["send_errors"], 0);

    SimRun cut = sim({}, "at 0s send 300 1514\nat 1ms halt\n");
    ASSERT_EQ(cut.exit, 0) << cut.err;
    // The driver completes the sends it has copied to its transmit buffers at once, so a few
    // more than the pool went; the rest are told, not lost silently.
    std::size_t sent = cut.events("send").size();
    EXPECT_GE(sent, 256u);
    EXPECT_LT(sent, 300u);
    EXPECT_TRUE(contains(cut.out, std::to_string(300 - sent) + " frames of send bursts not sent"))
        << cut.out;
    EXPECT_EQ(cut.json["summary"]["leaks"], Json::array());
}

// hangcheck-off keeps a pulled cable unnoticed until hangcheck-on; reset is answered; unplug
// ends the run with a clean halt. (The shutdown handler, also at
// a bugcheck: LifecycleTest.ShutdownHandlerStopsTheAdapter.)
TEST_F(Kt735SimTest, LifecycleCommands) {
    SimRun run = sim({}, "at 0s hangcheck-off\nat 1s ethernet none\nat 5s hangcheck-on\n"
                         "at 8s reset\nat 9s unplug\n");
    ASSERT_INITIALIZED(run);
    std::vector<Json> status = run.events("status");
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status[0]["status_name"], "NDIS_STATUS_MEDIA_DISCONNECT");
    EXPECT_GT(status[0]["t"].get<double>(), 5.0);
    EXPECT_LT(status[0]["t"].get<double>(), 7.5);
    EXPECT_EQ(run.all("reset", "t"), Strings{"8.0"});
    EXPECT_EQ(run.all("reset", "status_name"), Strings{"NDIS_STATUS_SUCCESS"});
    EXPECT_EQ(run.all("halt", "t"), Strings{"9.0"});
    EXPECT_EQ(run.all("halt", "unplugged"), Strings{"true"});
    EXPECT_EQ(run.json["summary"]["leaks"], Json::array());
}

// Raw bulk-in transfers reach the receive path: a clean one is indicated, one with a CRC error
// only counted.
TEST_F(Kt735SimTest, RawBulkIn) {
    const std::string frame = "024b5607350102504545520188b5" + std::string(92, '0');
    SimRun run = sim({}, "at 0s inject-bulk-in " + frame + "0000000000000000\n" +
                             "at 10ms inject-bulk-in " + frame + "0000000000000800\n");
    ASSERT_INITIALIZED(run);
    EXPECT_EQ(run.all("receive", "data"), Strings{frame});
    EXPECT_EQ(run.counter("OID_GEN_RCV_CRC_ERROR"), "1");
}
// Faults from the command line: each kind fires where it is aimed, is recorded with what it hit
// and counted, and the run stays clean (a fault is the device's or the platform's, not a leak).
TEST_F(Kt735SimTest, FaultsFromTheCommandLine) {
    struct Case {
        Strings args;
        std::string script;
        Strings targets;  // of the "fault" events, in order
        Strings requests; // the start of each USB one's request
        std::string initialize;
    };
    const std::vector<Case> cases = {
        {{"--init-fault", "vendor-write:error:1"},
         "",
         {"vendor-write"},
         {"VENDOR_DEVICE 40 f1"},
         "0xC000009A"},
        {{"--init-fault", "vendor-read:stall:1"},
         "",
         {"vendor-read"},
         {"VENDOR_DEVICE c0 f0"},
         "0xC000009A"},
        {{"--init-fault", "control:hang:1"}, "", {"control"}, {"GET_DESCRIPTOR"}, "0xC000009A"},
        {{"--init-fault", "ndis:fail:1", "--init-fault", "pool:fail:1"}, "", {"ndis"}, {}, ""},
        {{},
         "at 100ms fault bulk-out stall\nat 200ms send 1 100\nat 1s fault irp fail 2\n"
         "at 1s send 2 100\n",
         {"bulk-out", "irp", "irp"},
         {"BULK_OR_INTERRUPT_TRANSFER 02"},
         "0x00000000"},
        {{},
         "at 100ms fault bulk-in error\nat 200ms receive 1 100\n",
         {"bulk-in"},
         {"BULK_OR_INTERRUPT_TRANSFER 81"},
         "0x00000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? c.script : c.args[1]);
        SimRun run = sim(c.args, c.script);
        EXPECT_EQ(run.exit, 0) << run.err;
        EXPECT_EQ(run.all("fault", "target"), c.targets);
        Strings requests;
        for (const std::string& r : run.all("fault", "request")) {
            if (r != "<none>") {
                requests.push_back(r);
            }
        }
        ASSERT_EQ(requests.size(), c.requests.size());
        for (std::size_t i = 0; i < requests.size(); i++) {
            EXPECT_EQ(requests[i].rfind(c.requests[i], 0), 0u) << requests[i];
        }
        EXPECT_EQ(run.json["summary"]["faults"], c.targets.size());
        if (!c.initialize.empty()) {
            EXPECT_EQ(initializeStatus(run), c.initialize);
        }
        EXPECT_EQ(run.json["summary"]["leaks"], Json::array());
        EXPECT_TRUE(contains(run.out, " fired"));
    }
}

} // namespace
} // namespace kt735sim
