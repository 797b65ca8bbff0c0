// kt735sim from the outside: the program is run on small scripts and judged by its exit status,
// its JSON record and its captures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// The first value of "key" in a piece of the JSON record (kt735sim writes one member a line),
// strings without their quotes; "<none>" when absent.
std::string field(const std::string& json, const std::string& key) {
    std::size_t at = json.find("\"" + key + "\": ");
    if (at == std::string::npos) {
        return "<none>";
    }
    at += key.size() + 4;
    std::string value = json.substr(at, json.find_first_of(",\n}", at) - at);
    return value.front() == '"' ? value.substr(1, value.size() - 2) : value;
}

struct SimRun {
    int exit = -1;
    std::string out, err, json;

    // The events of one kind, in order, each its object's text (events hold no nested objects).
    std::vector<std::string> events(const std::string& kind) const {
        std::vector<std::string> found;
        for (std::size_t at = json.find('{', 1); at != std::string::npos;
             at = json.find('{', at + 1)) {
            std::string object = json.substr(at, json.find('}', at) - at);
            if (field(object, "kind") == kind) {
                found.push_back(object);
            }
        }
        return found;
    }
    std::vector<std::string> all(const std::string& kind, const std::string& key) const {
        std::vector<std::string> values;
        for (const std::string& e : events(kind)) {
            values.push_back(field(e, key));
        }
        return values;
    }
};

class Kt735SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) / "kt735sim" /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }

    // Runs kt735sim with --json and `args`; a non-empty `script` is passed with --script.
    SimRun sim(std::vector<std::string> args, const std::string& script = "") {
        fs::remove(dir_ / "run.json");
        if (!script.empty()) {
            std::ofstream(dir_ / "script.txt") << script;
            args.insert(args.end(), {"--script", (dir_ / "script.txt").string()});
        }
        std::string command =
            std::string("'") + KT735SIM + "' --json '" + (dir_ / "run.json").string() + "'";
        for (const std::string& a : args) {
            command += " '" + a + "'";
        }
        command += " >'" + (dir_ / "out").string() + "' 2>'" + (dir_ / "err").string() + "'";
        int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir_ / "out"),
                slurp(dir_ / "err"), slurp(dir_ / "run.json")};
    }

    fs::path dir_;
};

// MiniportInitialize succeeded in the run.
#define ASSERT_INITIALIZED(run)                                                                    \
    ASSERT_EQ((run).exit, 0) << (run).err;                                                         \
    ASSERT_EQ(field((run).json, "initialize"), "0x00000000")

using Strings = std::vector<std::string>;

// Ethernet pcap records (link type 1): the frames as bytes in hex.
Strings pcapFrames(const fs::path& path) {
    std::string data = slurp(path);
    auto u32 = [&](std::size_t at) {
        return std::uint32_t(static_cast<unsigned char>(data[at])) |
               std::uint32_t(static_cast<unsigned char>(data[at + 1])) << 8 |
               std::uint32_t(static_cast<unsigned char>(data[at + 2])) << 16 |
               std::uint32_t(static_cast<unsigned char>(data[at + 3])) << 24;
    };
    Strings frames;
    EXPECT_TRUE(data.size() >= 24 && u32(20) == 1u) << "no Ethernet pcap header";
    for (std::size_t at = 24; at + 16 <= data.size(); at += 16 + u32(at + 8)) {
        std::string hex;
        char two[3];
        for (std::size_t i = 0; i < u32(at + 8); i++) {
            std::snprintf(two, sizeof(two), "%02x", static_cast<unsigned char>(data[at + 16 + i]));
            hex += two;
        }
        frames.push_back(hex);
    }
    return frames;
}

// The default scenario: the adapter's whole life, the same on every run.
TEST_F(Kt735SimTest, DefaultScenarioIsCompleteAndRepeatable) {
    const Strings args = {"--usb-pcap", (dir_ / "usb.pcap").string(), "--wire-pcap",
                          (dir_ / "wire.pcap").string()};
    SimRun run = sim(args);
    ASSERT_INITIALIZED(run);

    // Cable pulled, phone line found, phone line lost, cable back.
    EXPECT_EQ(run.all("status", "name"),
              (Strings{"NDIS_STATUS_MEDIA_DISCONNECT", "NDIS_STATUS_MEDIA_CONNECT",
                       "NDIS_STATUS_MEDIA_DISCONNECT", "NDIS_STATUS_MEDIA_CONNECT"}));
    EXPECT_EQ(run.all("medium", "medium"),
              (Strings{"ethernet", "phone-line", "phone-line", "ethernet"}));
    EXPECT_EQ(run.all("receive", "length"), (Strings{"200", "200", "200", "80", "80", "1514"}));
    EXPECT_EQ(field(run.json, "OID_GEN_XMIT_OK"), "6");
    EXPECT_EQ(field(run.json, "OID_GEN_RCV_OK"), "6");
    EXPECT_EQ(field(run.json, "violations"), "[]");
    EXPECT_EQ(field(run.json, "leaks"), "[]");
    EXPECT_EQ(run.all("halt", "t"), Strings{"15"});

    // Every frame indicated is one the peer put on the wire.
    Strings wire = pcapFrames(dir_ / "wire.pcap");
    EXPECT_EQ(wire.size(), 12u);
    for (const std::string& data : run.all("receive", "data")) {
        EXPECT_NE(std::find(wire.begin(), wire.end(), data), wire.end());
    }

    auto outputs = [&](const SimRun& r) {
        return r.out + r.json + slurp(dir_ / "usb.pcap") + slurp(dir_ / "wire.pcap");
    };
    std::string first = outputs(run);
    EXPECT_EQ(outputs(sim(args)), first);
}

// A bad argument or script line is named, exits 2 and runs nothing.
TEST_F(Kt735SimTest, BadArgumentsAndScriptsExitTwoAndRunNothing) {
    const std::vector<std::pair<Strings, std::string>> cases = {
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--mac", "00:12:34:56:78"}, "--mac"},
        {{"--param", "MediaType"}, "NAME=VALUE"},
        {{"--duration"}, "needs a value"},
        {{"--script", "/nonexistent/script.txt"}, "cannot read"},
        {{"--init-fault", "bulk-in:fail:1"}, "the effect is error, stall or hang"},
        {{"--init-fault", "pool:fail:0"}, "N counts from 1"},
        {{"--config-descriptor", "0902x"}, "--config-descriptor: expected hex bytes"},
        {{}, "script.txt:2: bad time '2'"},
        {{}, "script.txt:3: unknown command 'dance'"},
        {{}, "script.txt:1: send: SIZE"},
        {{}, "script.txt:1: fault pool: the effect is fail"},
        {{}, "script.txt:1: unknown fault target 'disk'"},
    };
    const Strings scripts = {"at 1s query OID_GEN_LINK_SPEED\nat 2 halt\n",
                             "# comment\n\nat 1s dance\n", "at 1s send 1 1515\n",
                             "at 1s fault pool stall\n", "at 1s fault disk error 2\n"};
    for (std::size_t i = 0; i < cases.size(); i++) {
        const auto& [args, message] = cases[i];
        SCOPED_TRACE(message);
        SimRun run = sim(args, args.empty() ? scripts.at(i + scripts.size() - cases.size()) : "");
        EXPECT_EQ(run.exit, 2);
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(run.out + run.json, "");
    }
}

// Every option and script command is in --help, each with an example.
TEST_F(Kt735SimTest, HelpDocumentsEveryOptionAndCommand) {
    SimRun run = sim({"--help"});
    EXPECT_EQ(run.exit, 0);
    std::istringstream words(
        "--param NAME=VALUE;--param NetworkAddress=;--mac AA:BB;--ethernet ABILITY|none;"
        "--phoneline ID[:up|:down];--duration SECONDS;--script FILE;--usb-pcap FILE;"
        "--wire-pcap FILE;--json FILE;at 1s ethernet none;at 5s phoneline up;send 10 1514;"
        "receive 3 64;inject-bulk-in 024b;query OID_GEN_VENDOR_DESCRIPTION;"
        "set OID_GEN_CURRENT_PACKET_FILTER;hangcheck-off;hangcheck-on;at 4s reset;at 15s halt;"
        "at 3s unplug;at 5s shutdown;at 5s bugcheck;\"start_device\";\"set-complete\";"
        "--init-fault TARGET:EFFECT:N;--init-fault vendor-write:error:5;"
        "--device-descriptor HEX;--config-descriptor HEX;fault TARGET EFFECT [COUNT];"
        "at 2s fault bulk-in error;fault pool fail;\"fault\"");
    for (std::string word; std::getline(words, word, ';');) {
        EXPECT_NE(run.out.find(word), std::string::npos) << word;
    }
}

// Options reach the driver: the EEPROM address and NetworkAddress, no cable but a live phone
// line. Queries are recorded with the driver's answer, sets with the bytes given; a pended set
// with its completion, a refused one at once.
TEST_F(Kt735SimTest, OptionsReachTheDriverAndRequestsAreRecorded) {
    SimRun run = sim({"--mac", "00:12:34:00:00:01", "--param", "NetworkAddress=0012ABCDEF01",
                      "--ethernet", "none", "--phoneline", "0x5C22:up"},
                     "at 0s query OID_802_3_PERMANENT_ADDRESS\n"
                     "at 0s query OID_802_3_CURRENT_ADDRESS\n"
                     "at 0s query OID_GEN_VENDOR_DESCRIPTION 40\n"
                     "at 0s set OID_GEN_CURRENT_PACKET_FILTER 0b000000\n"
                     "at 0s set OID_GEN_CURRENT_LOOKAHEAD 00\n"
                     "at 10ms send 2 64\n");
    ASSERT_INITIALIZED(run);
    EXPECT_EQ(run.all("initialized", "medium"), Strings{"phone-line"});
    EXPECT_EQ(run.all("query", "data"), (Strings{"001234000001", "0012abcdef01", ""}));
    EXPECT_EQ(run.all("query", "bytes_needed"), (Strings{"<none>", "<none>", "19"}));
    EXPECT_EQ(run.all("set", "data"), (Strings{"0b000000", "00"}));
    EXPECT_EQ(run.all("set", "status"), (Strings{"0x00000103", "0xC0010014"}));
    EXPECT_EQ(run.all("set-complete", "status"), Strings{"0x00000000"});
    EXPECT_EQ(run.all("set-complete", "bytes_read"), Strings{"4"});
    EXPECT_EQ(field(run.json.substr(run.json.find("\"phone-line\": {")), "from_adapter"), "2");
}

// hangcheck-off keeps a pulled cable unnoticed until hangcheck-on; reset is answered; unplug
// ends the run with a clean halt; --duration cuts the script short.
TEST_F(Kt735SimTest, LifecycleCommands) {
    SimRun run = sim({}, "at 0s hangcheck-off\nat 1s ethernet none\nat 5s hangcheck-on\n"
                         "at 8s reset\nat 9s unplug\nat 10s query OID_GEN_LINK_SPEED\n");
    ASSERT_INITIALIZED(run);
    std::vector<std::string> status = run.events("status");
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(field(status[0], "name"), "NDIS_STATUS_MEDIA_DISCONNECT");
    EXPECT_GT(std::stod(field(status[0], "t")), 5.0);
    EXPECT_LT(std::stod(field(status[0], "t")), 7.5);
    EXPECT_EQ(run.all("reset", "t"), Strings{"8"});
    EXPECT_EQ(run.all("halt", "t"), Strings{"9"});
    EXPECT_TRUE(run.events("query").empty());
    EXPECT_EQ(field(run.json, "leaks"), "[]");

    SimRun cut = sim({"--duration", "2"}, "at 1s query OID_GEN_XMIT_OK\nat 3s halt\n");
    ASSERT_EQ(cut.exit, 0) << cut.err;
    EXPECT_EQ(cut.events("query").size(), 1u);
    EXPECT_EQ(cut.all("halt", "t"), Strings{"2"});

    // An orderly shutdown halts after the handler; a bugcheck ends the run in the handler,
    // which touches nothing at HIGH_LEVEL.
    for (const char* command : {"shutdown", "bugcheck"}) {
        SCOPED_TRACE(command);
        bool bugcheck = std::string(command) == "bugcheck";
        SimRun stop = sim({}, std::string("at 1s ") + command + "\nat 2s query OID_GEN_XMIT_OK\n");
        ASSERT_EQ(stop.exit, 0) << stop.err;
        EXPECT_EQ(stop.all("shutdown", "irql"), Strings{bugcheck ? "HIGH_LEVEL" : "PASSIVE_LEVEL"});
        EXPECT_EQ(stop.events("halt").size(), bugcheck ? 0u : 1u);
        EXPECT_TRUE(stop.events("query").empty());
    }
}

// Raw bulk-in transfers reach the receive path: a clean one is indicated, one with a CRC error
// only counted. A failed initialization is reported as it is, with nothing run and nothing left.
TEST_F(Kt735SimTest, RawBulkInAndFailedInitialize) {
    const std::string frame = "024b5607350102504545520188b5" + std::string(92, '0');
    SimRun run = sim({}, "at 0s inject-bulk-in " + frame + "0000000000000000\n" +
                             "at 10ms inject-bulk-in " + frame + "0000000000000800\n");
    ASSERT_INITIALIZED(run);
    EXPECT_EQ(run.all("receive", "data"), Strings{frame});
    EXPECT_EQ(field(run.json, "OID_GEN_RCV_CRC_ERROR"), "1");

    SimRun failed = sim({"--param", "TxPacketDesc=0x1000000"}, "at 0s query OID_GEN_XMIT_OK\n");
    EXPECT_EQ(failed.exit, 0) << failed.err;
    EXPECT_EQ(field(failed.json, "initialize"), "0xC000009A");
    EXPECT_EQ(field(failed.json, "start_device"), "0xC000009A");
    EXPECT_EQ(field(failed.json, "events"), "[]");
    EXPECT_EQ(field(failed.json, "leaks"), "[]");
    EXPECT_NE(failed.out.find("initialize failed: 0xC000009A (NDIS_STATUS_RESOURCES)"),
              std::string::npos);
}

// The usbmon capture, read by tshark: the vendor register writes of initialization are those
// the driver is meant to send, in order, with the address and the wake and flow-control settings
// given. A run of identical writes is one entry with its count; the negotiation poll (count 0)
// is any run of two or more.
TEST_F(Kt735SimTest, InitializationVendorWritesThroughTshark) {
    if (std::system("tshark -v >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark is not installed";
    }
    using Writes = std::vector<std::pair<std::string, int>>; // "index data", count
    const Writes want = {
        {"20 00000002", 1},     {"20 01000002", 1},
        {"20 02000002", 1},     {"20 03000002", 1},
        {"10 0012abcdef01", 1}, {"08 ffffffffffffffff", 1},
        {"7e 2400", 1},         {"7e 2600", 1},
        {"25 02057f39", 1}, // PHY 2 register 0x19 := 0x7F05
        {"25 01e10124", 1}, // auto-detection: PHY 1 advertisement := 0x01E1
        {"25 01000044", 1}, // ... read it back
        {"25 02000043", 2}, // PHY 2 identifier, for detection and for IdentifyPhy
        {"25 01000042", 1}, // after two seconds: PHY 1 identifier
        {"25 01000041", 2}, // PHY 1 status, twice: link
        {"7f 260002", 1},   // Ethernet selected
        {"25 01000041", 1}, // bring-up's unchecked PHY 1 status read
        {"00 1900", 1},         {"1c 9000", 1},     // AlivePara 3
        {"01 0800", 1},         {"25 02002020", 1}, // PHY 2 control := 0x2000
        {"25 01e10124", 1},                         // PHY 1 advertisement := 0x01E1
        {"25 01001220", 1},                         // PHY 1 control := 0x1200: negotiate
        {"25 01000041", 0},     {"25 01000045", 1}, // partner ability
        {"01 3000", 1},                             // 100 Mbit/s full duplex
        {"25 02000420", 1},                         // PHY 2 isolated
        {"25 01000041", 1},                         // link state
        {"78 c400", 1},                             // wake control
        {"1a 0301", 1},         {"00 f930", 1},     // flow control Tx 1, Rx 8
    };
    SimRun run = sim({"--param", "NetworkAddress=0012ABCDEF01", "--param", "AlivePara=3", "--param",
                      "FlowControl_Tx=1", "--param", "FlowControl_Rx=8", "--usb-pcap",
                      (dir_ / "usb.pcap").string()},
                     "at 0s halt\n");
    ASSERT_INITIALIZED(run);
    std::string command = "tshark -r '" + (dir_ / "usb.pcap").string() +
                          "' -Y 'usb.bmRequestType.type == 2 && usb.setup.bRequest == 0xf1 "
                          "&& frame.time_epoch <= " +
                          field(run.json, "initialized_at") +
                          "' -T fields -e usb.setup.wIndex -e usb.data_fragment 2>/dev/null >'" +
                          (dir_ / "writes.txt").string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    Writes writes;
    std::istringstream lines(slurp(dir_ / "writes.txt"));
    int index = 0;
    char hex[4];
    for (std::string data; lines >> index >> data;) {
        std::snprintf(hex, sizeof(hex), "%02x ", index & 0xFF);
        if (!writes.empty() && writes.back().first == hex + data) {
            writes.back().second++;
        } else {
            writes.push_back({hex + data, 1});
        }
    }
    for (std::size_t i = 0; i < want.size() && i < writes.size(); i++) {
        if (want[i].second == 0 && writes[i].second >= 2) {
            writes[i].second = 0;
        }
    }
    EXPECT_EQ(writes, want);
}

} // namespace

namespace {

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
        EXPECT_EQ(field(run.json, "faults"), std::to_string(c.targets.size()));
        if (!c.initialize.empty()) {
            EXPECT_EQ(field(run.json, "initialize"), c.initialize);
        }
        EXPECT_EQ(field(run.json, "leaks"), "[]");
        EXPECT_NE(run.out.find(" fired"), std::string::npos);
    }
}

// Descriptors from the command line: a device that answers with malformed descriptors does not
// start, and leaves nothing behind; a well-formed configuration given as bytes starts as the
// model's own, and a device descriptor cut short is tolerated (only its identifiers are used).
TEST_F(Kt735SimTest, DescriptorsFromTheCommandLine) {
    for (const Strings& args :
         {Strings{"--device-descriptor", ""}, Strings{"--config-descriptor", ""},
          Strings{"--config-descriptor", "0902ff00010100a032"},
          Strings{"--config-descriptor", "09020900ff0100a032"}}) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        SimRun run = sim(args);
        EXPECT_EQ(run.exit, 0) << run.err;
        EXPECT_NE(field(run.json, "initialize"), "0x00000000");
        EXPECT_EQ(field(run.json, "leaks"), "[]");
    }
    SimRun good = sim({"--device-descriptor", "1201", "--config-descriptor",
                       "09022700010100a0320904000003ffffff000705810240000007050202400000070583"
                       "03400001"});
    ASSERT_INITIALIZED(good);
}

} // namespace
