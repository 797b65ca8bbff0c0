// kt735sim from the outside: the program is run on small scripts and judged by its exit status,
// its JSON record and its captures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "json_reader.h"

namespace tools_test {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct SimRun {
    int exit = -1;
    std::string out;
    std::string err;
    Json json;
    fs::path dir;

    // The events of one kind, in order.
    std::vector<Json> events(const std::string& kind) const {
        std::vector<Json> found;
        for (const Json& e : json["events"].items) {
            if (e["kind"].text == kind) {
                found.push_back(e);
            }
        }
        return found;
    }
    bool initialized() const { return json["initialize"].text == "0x00000000"; }
};

class Kt735SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::path(::testing::TempDir()) / "kt735sim" / info->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }

    // Runs kt735sim with `args`; a non-empty `script` is passed with --script. A JSON record is
    // asked for unless `json` is false.
    SimRun sim(std::vector<std::string> args, const std::string& script = "", bool json = true) {
        SimRun run;
        run.dir = dir_;
        if (!script.empty()) {
            std::ofstream(dir_ / "script.txt") << script;
            args.insert(args.end(), {"--script", (dir_ / "script.txt").string()});
        }
        if (json) {
            args.insert(args.begin(), {"--json", (dir_ / "run.json").string()});
        }
        std::string command = std::string("'") + KT735SIM + "'";
        for (const std::string& a : args) {
            command += " '" + a + "'";
        }
        command +=
            " >'" + (dir_ / "out.txt").string() + "' 2>'" + (dir_ / "err.txt").string() + "'";
        int status = std::system(command.c_str());
        run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = slurp(dir_ / "out.txt");
        run.err = slurp(dir_ / "err.txt");
        if (json && fs::exists(dir_ / "run.json")) {
            run.json = Json::parse(slurp(dir_ / "run.json"));
        }
        return run;
    }

    fs::path dir_;
};

// MiniportInitialize succeeded in the run.
#define ASSERT_INITIALIZED(run)                                                                    \
    ASSERT_EQ((run).exit, 0) << (run).err;                                                         \
    ASSERT_TRUE((run).initialized())                                                               \
        << "MiniportInitialize returned " << (run).json["initialize"].text

std::vector<std::string> field(const std::vector<Json>& events, const std::string& key) {
    std::vector<std::string> values;
    for (const Json& e : events) {
        values.push_back(e[key].text);
    }
    return values;
}

// Ethernet pcap records (link type 1): the frames as bytes in hex.
std::vector<std::string> pcapFrames(const fs::path& path) {
    std::string data = slurp(path);
    auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; i--) {
            v = v << 8 | static_cast<unsigned char>(data[at + i]);
        }
        return v;
    };
    std::vector<std::string> frames;
    EXPECT_GE(data.size(), 24u);
    EXPECT_EQ(u32(20), 1u) << "link type";
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
    SimRun run = sim(
        {"--usb-pcap", (dir_ / "usb.pcap").string(), "--wire-pcap", (dir_ / "wire.pcap").string()});
    ASSERT_INITIALIZED(run);

    // Cable pulled, phone line found, phone line lost, cable back.
    EXPECT_EQ(
        field(run.events("status"), "name"),
        (std::vector<std::string>{"NDIS_STATUS_MEDIA_DISCONNECT", "NDIS_STATUS_MEDIA_CONNECT",
                                  "NDIS_STATUS_MEDIA_DISCONNECT", "NDIS_STATUS_MEDIA_CONNECT"}));
    std::vector<std::string> media = field(run.events("medium"), "medium");
    ASSERT_EQ(media.size(), 4u);
    EXPECT_EQ(media[1], "phone-line");
    EXPECT_EQ(media[3], "ethernet");
    Json initialized = run.events("initialized").at(0);
    EXPECT_EQ(initialized["medium"].text, "ethernet");
    EXPECT_EQ(initialized["mbps"].text, "100");
    EXPECT_EQ(initialized["duplex"].text, "full");

    EXPECT_EQ(field(run.events("receive"), "length"),
              (std::vector<std::string>{"200", "200", "200", "80", "80", "1514"}));
    EXPECT_EQ(run.events("send-complete").size(), 6u);
    EXPECT_EQ(run.json["counters"]["OID_GEN_XMIT_OK"].text, "6");
    EXPECT_EQ(run.json["counters"]["OID_GEN_RCV_OK"].text, "6");
    EXPECT_EQ(run.json["counters"]["OID_GEN_RCV_ERROR"].text, "0");
    EXPECT_TRUE(run.json["summary"]["violations"].items.empty());
    EXPECT_TRUE(run.json["summary"]["leaks"].items.empty());
    EXPECT_NE(run.out.find("leaks            none"), std::string::npos);
    ASSERT_EQ(run.events("halt").size(), 1u);
    EXPECT_EQ(run.events("halt")[0]["t"].text, "15");

    double last = -1;
    for (const Json& e : run.json["events"].items) {
        EXPECT_GE(e["t"].number(), last) << e["kind"].text;
        last = e["t"].number();
    }

    // Every frame indicated is one the peer put on the wire.
    std::vector<std::string> wire = pcapFrames(dir_ / "wire.pcap");
    EXPECT_EQ(wire.size(), 12u);
    for (const Json& r : run.events("receive")) {
        EXPECT_NE(std::find(wire.begin(), wire.end(), r["data"].text), wire.end());
    }

    std::string first =
        run.out + slurp(dir_ / "run.json") + slurp(dir_ / "usb.pcap") + slurp(dir_ / "wire.pcap");
    SimRun again = sim(
        {"--usb-pcap", (dir_ / "usb.pcap").string(), "--wire-pcap", (dir_ / "wire.pcap").string()});
    EXPECT_EQ(again.out + slurp(dir_ / "run.json") + slurp(dir_ / "usb.pcap") +
                  slurp(dir_ / "wire.pcap"),
              first);
}

// A bad argument or script line is named, exits 2 and runs nothing.
TEST_F(Kt735SimTest, BadArgumentsAndScriptsExitTwoAndRunNothing) {
    struct Case {
        std::vector<std::string> args;
        std::string script;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--frobnicate"}, "", "unknown option '--frobnicate'"},
        {{"--mac", "00:12:34:56:78"}, "", "--mac"},
        {{"--param", "MediaType"}, "", "NAME=VALUE"},
        {{"--param", "MediaType=0x1G"}, "", "--param MediaType"},
        {{"--param", "NetworkAddress=00-12"}, "", "NetworkAddress"},
        {{"--ethernet", "fast"}, "", "--ethernet"},
        {{"--phoneline", "0x5C20:sideways"}, "", "up or down"},
        {{"--duration", "ten"}, "", "--duration"},
        {{"--duration"}, "", "needs a value"},
        {{}, "at 1s query OID_GEN_LINK_SPEED\nat 2 halt\n", "script.txt:2: bad time '2'"},
        {{}, "# comment\n\nat 1s dance\n", "script.txt:3: unknown command 'dance'"},
        {{}, "at 1s send 1 1515\n", "script.txt:1: send: SIZE"},
        {{}, "at 1s receive 0 64\n", "script.txt:1: receive: COUNT"},
        {{}, "at 1s query OID_GEN_NOTHING\n", "script.txt:1: query: unknown OID"},
        {{}, "at 1s set OID_GEN_CURRENT_PACKET_FILTER 0b0\n", "script.txt:1: set: bad hex"},
        {{}, "at 1s inject-bulk-in\n", "script.txt:1: usage"},
        {{}, "at 1s halt now\n", "script.txt:1: halt takes no arguments"},
        {{}, "at 0.12345678s reset\n", "script.txt:1: bad time"},
        {{"--script", "/nonexistent/script.txt"}, "", "cannot read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove(dir_ / "run.json");
        SimRun run = sim(c.args, c.script);
        EXPECT_EQ(run.exit, 2);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(fs::exists(dir_ / "run.json"));
    }
}

// Every option and script command is in --help, each with an example.
TEST_F(Kt735SimTest, HelpDocumentsEveryOptionAndCommand) {
    SimRun run = sim({"--help"}, "", false);
    EXPECT_EQ(run.exit, 0);
    std::istringstream words(
        "--param NAME=VALUE;--param NetworkAddress=;--mac AA:BB;--ethernet ABILITY|none;"
        "--phoneline ID[:up|:down];--duration SECONDS;--script FILE;--usb-pcap FILE;"
        "--wire-pcap FILE;--json FILE;at 1s ethernet none;at 5s phoneline up;send 10 1514;"
        "receive 3 64;inject-bulk-in 024b;query OID_GEN_VENDOR_DESCRIPTION;"
        "set OID_GEN_CURRENT_PACKET_FILTER;hangcheck-off;hangcheck-on;at 4s reset;at 15s halt;"
        "at 3s unplug");
    for (std::string word; std::getline(words, word, ';');) {
        EXPECT_NE(run.out.find(word), std::string::npos) << word;
    }
}

// Registry keywords and the EEPROM address reach the driver; OID answers are recorded with the
// counts the driver stored, and only those.
TEST_F(Kt735SimTest, AddressesAndOidRequestsAreRecordedAsAnswered) {
    const std::string script = "at 0s query OID_802_3_PERMANENT_ADDRESS\n"
                               "at 0s query OID_802_3_CURRENT_ADDRESS\n"
                               "at 0s query OID_GEN_VENDOR_DESCRIPTION 40\n"
                               "at 0s query OID_GEN_DRIVER_VERSION 4\n"
                               "at 0s query 0x01010105\n"
                               "at 0s query OID_GEN_TRANSMIT_BUFFER_SPACE\n";
    SimRun run = sim({"--mac", "00:12:34:00:00:01", "--param", "NetworkAddress=0012ABCDEF01",
                      "--param", "TxPacketDesc=0x10"},
                     script);
    ASSERT_INITIALIZED(run);
    std::vector<Json> q = run.events("query");
    ASSERT_EQ(q.size(), 6u);
    EXPECT_EQ(q[0]["data"].text, "001234000001");
    EXPECT_EQ(q[1]["data"].text, "0012abcdef01");
    EXPECT_EQ(q[2]["status"].text, "0xC0010014");
    EXPECT_EQ(q[2]["bytes_needed"].text, "19");
    EXPECT_FALSE(q[2].has("bytes_written"));
    EXPECT_EQ(q[3]["data"].text, "0005");
    EXPECT_EQ(q[3]["bytes_written"].text, "2");
    EXPECT_EQ(q[4]["name"].text, "OID_802_3_MAC_OPTIONS");
    EXPECT_EQ(q[4]["status"].text, "0xC0010017");
    EXPECT_FALSE(q[4].has("bytes_needed"));
    EXPECT_EQ(q[5]["data"].text, "a05e0000"); // 16 descriptors of 1514 bytes

    // An address of the wrong length is ignored: the EEPROM's stays.
    SimRun odd = sim({"--mac", "00:12:34:00:00:01", "--param", "NetworkAddress=0012ABCDEF"},
                     "at 0s query OID_802_3_CURRENT_ADDRESS\n");
    ASSERT_EQ(odd.exit, 0) << odd.err;
    EXPECT_EQ(odd.events("query").at(0)["data"].text, "001234000001");
}

// With no cable but a live phone line, the adapter starts on the phone line; a set is recorded
// with the bytes given.
TEST_F(Kt735SimTest, StartsOnThePhoneLineWithoutCable) {
    SimRun run = sim({"--ethernet", "none", "--phoneline", "0x5C22:up"},
                     "at 0s query OID_GEN_LINK_SPEED\n"
                     "at 0s set OID_GEN_CURRENT_PACKET_FILTER 0b000000\n"
                     "at 10ms send 2 64\n");
    ASSERT_INITIALIZED(run);
    EXPECT_EQ(run.events("initialized").at(0)["medium"].text, "phone-line");
    EXPECT_EQ(run.events("query").at(0)["data"].text, "a0860100"); // 10 Mbit/s
    Json set = run.events("set").at(0);
    EXPECT_EQ(set["data"].text, "0b000000");
    EXPECT_EQ(set["oid"].text, "0x0001010E");
    EXPECT_EQ(run.json["summary"]["phone-line"]["from_adapter"].text, "2");
    EXPECT_EQ(run.json["summary"]["ethernet"]["from_adapter"].text, "0");
}

// hangcheck-off keeps a pulled cable unnoticed until hangcheck-on; reset is answered; unplug
// ends the run with a clean halt; --duration cuts the script short.
TEST_F(Kt735SimTest, LifecycleCommands) {
    SimRun run = sim({}, "at 0s hangcheck-off\n"
                         "at 1s ethernet none\n"
                         "at 5s hangcheck-on\n"
                         "at 8s reset\n"
                         "at 9s unplug\n"
                         "at 10s query OID_GEN_LINK_SPEED\n");
    ASSERT_INITIALIZED(run);
    std::vector<Json> status = run.events("status");
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status[0]["name"].text, "NDIS_STATUS_MEDIA_DISCONNECT");
    EXPECT_GT(status[0]["t"].number(), 5.0);
    EXPECT_LT(status[0]["t"].number(), 7.5);
    ASSERT_EQ(run.events("reset").size(), 1u);
    EXPECT_EQ(run.events("reset")[0]["t"].text, "8");
    ASSERT_EQ(run.events("halt").size(), 1u);
    EXPECT_EQ(run.events("halt")[0]["t"].text, "9");
    EXPECT_TRUE(run.events("query").empty());
    EXPECT_TRUE(run.json["summary"]["leaks"].items.empty());

    SimRun cut = sim({"--duration", "2"}, "at 1s query OID_GEN_XMIT_OK\nat 3s halt\n");
    ASSERT_EQ(cut.exit, 0) << cut.err;
    EXPECT_EQ(cut.events("query").size(), 1u);
    EXPECT_EQ(cut.events("halt").at(0)["t"].text, "2");
}

// Raw bulk-in transfers reach the receive path: a clean one is indicated, one with a CRC error
// only counted. A failed initialization is reported as it is, with nothing run and nothing left.
TEST_F(Kt735SimTest, RawBulkInAndFailedInitialize) {
    const std::string frame = "024b56073501"
                              "025045455201"
                              "88b5" +
                              std::string(92, '0');
    SimRun run = sim({}, "at 0s inject-bulk-in " + frame + "000000000000" + "0000\n" +
                             "at 10ms inject-bulk-in " + frame + "000000000000" + "0800\n");
    ASSERT_INITIALIZED(run);
    ASSERT_EQ(run.events("receive").size(), 1u);
    EXPECT_EQ(run.events("receive")[0]["data"].text, frame);
    EXPECT_EQ(run.json["counters"]["OID_GEN_RCV_OK"].text, "1");
    EXPECT_EQ(run.json["counters"]["OID_GEN_RCV_CRC_ERROR"].text, "1");

    SimRun failed = sim({"--param", "TxPacketDesc=0x1000000"}, "at 0s query OID_GEN_XMIT_OK\n");
    EXPECT_EQ(failed.exit, 0) << failed.err;
    EXPECT_EQ(failed.json["initialize"].text, "0xC000009A");
    EXPECT_TRUE(failed.json["events"].items.empty());
    EXPECT_TRUE(failed.json["summary"]["leaks"].items.empty());
    EXPECT_NE(failed.out.find("initialize failed: 0xC000009A (NDIS_STATUS_RESOURCES)"),
              std::string::npos);
}

// The usbmon capture, read by tshark: the vendor register writes of initialization are those
// the driver is meant to send, in order. A run of identical writes is one entry with its count;
// the negotiation poll (count 0) is any run of two or more.
TEST_F(Kt735SimTest, InitializationVendorWritesThroughTshark) {
    if (std::system("tshark -v >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark is not installed";
    }
    using Writes = std::vector<std::pair<std::string, int>>; // "index data", count
    auto expected = [](const std::string& station, const std::string& alive,
                       const std::string& flow) {
        Writes w = {
            {"20 00000002", 1},   {"20 01000002", 1},
            {"20 02000002", 1},   {"20 03000002", 1},
            {"10 " + station, 1}, {"08 ffffffffffffffff", 1},
            {"7e 2400", 1},       {"7e 2600", 1},
            {"25 02057f39", 1}, // PHY 2 register 0x19 := 0x7F05
            {"25 01e10124", 1}, // auto-detection: PHY 1 advertisement := 0x01E1
            {"25 01000044", 1}, // ... read it back
            {"25 02000043", 2}, // PHY 2 identifier, for detection and for IdentifyPhy
            {"25 01000042", 1}, // after two seconds: PHY 1 identifier
            {"25 01000041", 2}, // PHY 1 status, twice: link
            {"7f 260002", 1},   // Ethernet selected
            {"25 01000041", 1}, // bring-up's unchecked PHY 1 status read
            {"00 1900", 1},
        };
        if (!alive.empty()) {
            w.push_back({"1c " + alive, 1});
        }
        Writes media = {
            {"01 0800", 1},     {"25 02002020", 1}, // PHY 2 control := 0x2000
            {"25 01e10124", 1},                     // PHY 1 advertisement := 0x01E1
            {"25 01001220", 1},                     // PHY 1 control := 0x1200: negotiate
            {"25 01000041", 0}, {"25 01000045", 1}, // partner ability
            {"01 3000", 1},                         // 100 Mbit/s full duplex
            {"25 02000420", 1},                     // PHY 2 isolated
            {"25 01000041", 1},                     // link state
            {"78 c400", 1},                         // wake control
            {"1a " + flow, 1},  {"00 f930", 1},
        };
        w.insert(w.end(), media.begin(), media.end());
        return w;
    };
    struct Variant {
        std::vector<std::string> args;
        Writes want;
    };
    const std::vector<Variant> variants = {
        {{}, expected("024b56073501", "", "0000")},
        {{"--param", "NetworkAddress=0012ABCDEF01", "--param", "AlivePara=3", "--param",
          "FlowControl_Tx=1", "--param", "FlowControl_Rx=8"},
         expected("0012abcdef01", "9000", "0301")},
    };
    for (const Variant& v : variants) {
        std::vector<std::string> args = v.args;
        args.insert(args.end(), {"--usb-pcap", (dir_ / "usb.pcap").string()});
        SimRun run = sim(args, "at 0s halt\n");
        ASSERT_INITIALIZED(run);
        std::string command = "tshark -r '" + (dir_ / "usb.pcap").string() +
                              "' -Y 'usb.bmRequestType.type == 2 && usb.setup.bRequest == 0xf1 "
                              "&& frame.time_epoch <= " +
                              run.json["initialized_at"].text +
                              "' -T fields -e usb.setup.wIndex -e usb.data_fragment 2>/dev/null "
                              ">'" +
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
        for (std::size_t i = 0; i < v.want.size() && i < writes.size(); i++) {
            if (v.want[i].second == 0 && writes[i].second >= 2) {
                writes[i].second = 0;
            }
        }
        EXPECT_EQ(writes, v.want);
    }
}

} // namespace
} // namespace tools_test
