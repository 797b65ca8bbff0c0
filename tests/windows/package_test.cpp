// The Windows driver package (windows/KT735N.inf beside the built KT735N.sys) against what it
// installs: every keyword the driver reads during MiniportInitialize has exactly one Ndi\params
// entry, with the driver's default and only values the driver handles; the hardware ID is one
// the device model's USB device reports; the service binary is the packaged image; the INF has
// no duplicate sections, no missing sections and no undefined string tokens.
#include <host/ndis.h>
#include <host/pnp.h>
#include <host/testing.h>
#include <host/usb_bus.h>
#include <kt735_device.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "chip/chip.h"
#include "driver/handlers.h"

// The driver keeps its keyword table (names, defaults, the ranges it handles) file-local in
// registry.cpp. The file is compiled once more here, inside a namespace of its own, to read that
// table; the copies it defines there are used by nothing else.
namespace driver_registry {
#include "adapter/registry.cpp"
} // namespace driver_registry

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(const std::string& s) {
    std::size_t first = s.find_first_not_of(" \t\r");
    return first == std::string::npos ? ""
                                      : s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A decimal number of at most 10 digits, as the INF writes values.
bool number(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return false;
    }
    value = std::stoull(text);
    return true;
}

// One line of a section: `key = fields` or just fields, with quotes removed and %tokens%
// replaced from [Strings].
struct InfLine {
    int number = 0;
    std::string key;
    std::vector<std::string> fields;
};

// An INF as SetupAPI reads it, strict where SetupAPI is lenient: a section appearing twice, a
// line outside any section, a continued line and a %token% that [Strings] does not define are
// problems.
class Inf {
  public:
    explicit Inf(const std::string& path) {
        std::ifstream in(path);
        if (!in) {
            problems_.push_back("cannot read " + path);
        }
        std::map<std::string, std::vector<std::pair<int, std::string>>> raw;
        std::map<std::string, int> started;
        std::string text, current;
        for (int n = 1; std::getline(in, text); ++n) {
            text = trim(stripComment(text));
            std::string at = "line " + std::to_string(n);
            if (text.empty()) {
                continue;
            } else if (text.back() == '\\') {
                problems_.push_back(at + " is continued: not supported here");
            } else if (text.front() == '[') {
                current = lower(trim(text.substr(1, text.find(']') - 1)));
                if (!started.emplace(current, n).second) {
                    problems_.push_back("section [" + current + "] at " + at +
                                        " already appears at line " +
                                        std::to_string(started[current]));
                }
                raw[current];
            } else if (current.empty()) {
                problems_.push_back(at + " is outside any section");
            } else {
                raw[current].push_back({n, text});
            }
        }
        for (const auto& [n, line] : raw["strings"]) {
            InfLine parsed = split(n, line, false);
            strings_[lower(parsed.key)] = parsed.fields[0];
        }
        for (const auto& [name, lines] : raw) {
            sections_[name];
            for (const auto& [n, line] : lines) {
                sections_[name].push_back(split(n, line, name != "strings"));
            }
        }
    }

    const std::vector<std::string>& problems() const { return problems_; }
    bool has(const std::string& name) const { return sections_.count(lower(name)) != 0; }
    // The lines of a section; an absent section is a test failure and reads as empty.
    const std::vector<InfLine>& section(const std::string& name) const {
        static const std::vector<InfLine> none;
        auto it = sections_.find(lower(name));
        EXPECT_NE(it, sections_.end()) << "INF has no section [" << name << "]";
        return it == sections_.end() ? none : it->second;
    }
    // The fields of the one line of `section` with `key`; empty (and a failure) when there is
    // not exactly one.
    std::vector<std::string> value(const std::string& section, const std::string& key) const {
        std::vector<std::vector<std::string>> found;
        for (const InfLine& line : this->section(section)) {
            if (lower(line.key) == lower(key)) {
                found.push_back(line.fields);
            }
        }
        EXPECT_EQ(found.size(), 1u) << "[" << section << "] " << key;
        return found.size() == 1 ? found[0] : std::vector<std::string>{};
    }
    std::string first(const std::string& section, const std::string& key) const {
        std::vector<std::string> fields = value(section, key);
        return fields.empty() ? "" : fields[0];
    }

  private:
    static std::string stripComment(const std::string& line) {
        bool quoted = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            quoted ^= line[i] == '"';
            if (line[i] == ';' && !quoted) {
                return line.substr(0, i);
            }
        }
        return line;
    }

    // Splits `key = a, b, "c"` at the first unquoted '=' and the unquoted commas.
    InfLine split(int n, const std::string& text, bool substitute) {
        InfLine out{n, "", {""}};
        bool quoted = false, keyed = false;
        for (char c : text) {
            if (c == '"') {
                quoted = !quoted;
            } else if (c == '=' && !quoted && !keyed) {
                out.key = trim(out.fields.back());
                out.fields.back().clear();
                keyed = true;
            } else if (c == ',' && !quoted) {
                out.fields.emplace_back();
            } else {
                out.fields.back() += c;
            }
        }
        for (std::string& field : out.fields) {
            field = substitute ? replaceTokens(trim(field), n) : trim(field);
        }
        out.key = substitute ? replaceTokens(out.key, n) : out.key;
        return out;
    }

    // %name% from [Strings]; %% is a percent sign; %<number>% is a directory ID, kept.
    std::string replaceTokens(const std::string& text, int n) {
        std::string out;
        const std::string at = "line " + std::to_string(n);
        for (std::size_t i = 0; i < text.size(); ++i) {
            std::size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
            if (text[i] != '%') {
                out += text[i];
                continue;
            }
            if (close == std::string::npos) {
                problems_.push_back(at + ": unmatched %");
                return out + text.substr(i);
            }
            std::string token = text.substr(i + 1, close - i - 1);
            std::uint64_t directory = 0;
            auto defined = strings_.find(lower(token));
            if (token.empty()) {
                out += '%';
            } else if (number(token, directory)) {
                out += text.substr(i, close - i + 1);
            } else if (defined != strings_.end()) {
                out += defined->second;
            } else {
                problems_.push_back(at + ": undefined string token %" + token + "%");
            }
            i = close;
        }
        return out;
    }

    std::vector<std::string> problems_;
    std::map<std::string, std::vector<InfLine>> sections_;
    std::map<std::string, std::string> strings_;
};

// An Ndi\params entry: its values and its enumeration, each with every spelling of the subkey
// seen, and the values set more than once.
struct Param {
    std::set<std::string> spellings;
    std::map<std::string, std::string> values;  // by lower-case value name
    std::map<std::string, std::string> choices; // enum value -> text
    std::vector<std::string> repeated;
};

class PackageTest : public host::testing::WorldTest {
  protected:
    PackageTest() : inf_(KT735N_INF_PATH) {}

    // The one device install section the models section names for the KT735.
    std::string installSection() const {
        std::vector<std::string> models =
            inf_.value("Manufacturer", inf_.first("Strings", "Korvex"));
        const std::vector<InfLine>& lines = inf_.section(models.empty() ? "" : models[0]);
        EXPECT_EQ(lines.size(), 1u) << "one model";
        return lines.empty() || lines[0].fields.empty() ? "" : lines[0].fields[0];
    }
    // AddService = name, flags, section
    std::vector<std::string> service() const {
        std::vector<std::string> s = inf_.value(installSection() + ".Services", "AddService");
        EXPECT_EQ(s.size(), 3u);
        s.resize(3);
        return s;
    }
    // The lines of every add-registry section of the install section.
    std::vector<InfLine> addRegLines() const {
        std::vector<InfLine> out;
        for (const std::string& addReg : inf_.value(installSection(), "AddReg")) {
            const std::vector<InfLine>& lines = inf_.section(addReg);
            out.insert(out.end(), lines.begin(), lines.end());
        }
        return out;
    }

    // The Ndi\params entries, by lower-case keyword.
    std::map<std::string, Param> params() const {
        std::map<std::string, Param> out;
        const std::string prefix = "ndi\\params\\";
        for (const InfLine& line : addRegLines()) {
            if (line.fields.size() < 5 || lower(line.fields[0]) != "hkr") {
                ADD_FAILURE() << "line " << line.number << ": not HKR, key, name, 0, value";
                continue;
            }
            const std::string& key = line.fields[1];
            if (lower(key).rfind(prefix, 0) != 0) {
                continue;
            }
            std::string name = key.substr(prefix.size());
            bool isEnum = lower(name).ends_with("\\enum");
            name = isEnum ? name.substr(0, name.size() - 5) : name;
            Param& param = out[lower(name)];
            param.spellings.insert(name);
            auto& into = isEnum ? param.choices : param.values;
            if (!into.emplace(isEnum ? line.fields[2] : lower(line.fields[2]), line.fields[4])
                     .second) {
                param.repeated.push_back(key + "," + line.fields[2]);
            }
        }
        return out;
    }

    // One life of the adapter on a fresh model device, with the parameter set: started, a frame
    // sent, run for a few hang checks, removed and checked for leaks. Returns whether the start
    // succeeded and the frame completed, and the keywords read.
    bool live(std::vector<std::string>* keywords = nullptr, const std::string& keyword = "",
              ULONG value = 0) {
        if (!keyword.empty()) {
            world().ndis().defaultParameters().set(keyword, value);
        }
        kt735::model::Kt735Device device;
        host::usb::Bus bus;
        bus.plug(device);
        PDRIVER_OBJECT driver = world().pnp().loadDriver(DriverEntry, L"KT735N");
        EXPECT_EQ(world().pnp().addDevice(driver, bus.pdo()), STATUS_SUCCESS);
        host::ndis::Adapter* adapter = world().ndis().lastAdapter();
        bool ok = false;
        if (adapter != nullptr) {
            world().pnp().startDevice(bus.pdo());
            if (keywords != nullptr) {
                *keywords = adapter->keywordsRead();
            }
            auto sent = adapter->send(std::vector<std::uint8_t>(60, 0xFF));
            world().scheduler().runFor(5 * host::kSecond);
            const auto* record = adapter->sendRecord(sent.id);
            ok = adapter->initializeStatus() == NDIS_STATUS_SUCCESS && adapter->running() &&
                 record != nullptr && record->completed &&
                 record->completionStatus == NDIS_STATUS_SUCCESS;
            EXPECT_EQ(world().pnp().removeDevice(bus.pdo()), STATUS_SUCCESS);
            EXPECT_EQ(world().memory().leakReport(host::Memory::Kind::Ndis), "");
            EXPECT_EQ(world().memory().leakReport(host::Memory::Kind::Pool), "");
            EXPECT_EQ(world().irps().liveCount(), 0u);
        }
        SavedAddDevice = nullptr;
        SavedPnpDispatch = nullptr;
        return ok;
    }

    Inf inf_;
};

// Well-formed; every section the installation names exists; a Windows 2000 Net-class INF for a
// physical adapter with an Advanced page, whose service is the adapter's kernel driver, started
// on demand, with normal error control.
TEST_F(PackageTest, InfIsWellFormedAndInstallsANetAdapterDriver) {
    EXPECT_EQ(inf_.problems(), std::vector<std::string>{});
    std::string install = installSection();
    ASSERT_NE(install, "");
    for (const char* key : {"AddReg", "CopyFiles"}) {
        for (const std::string& name : inf_.value(install, key)) {
            EXPECT_TRUE(inf_.has(name)) << key << " names [" << name << "]";
        }
    }
    std::vector<std::string> s = service();
    ASSERT_TRUE(inf_.has(s[2])) << "AddService names [" << s[2] << "]";

    EXPECT_EQ(lower(inf_.first("Version", "Signature")), "$windows nt$");
    EXPECT_EQ(lower(inf_.first("Version", "Class")), "net");
    EXPECT_EQ(lower(inf_.first("Version", "ClassGUID")), "{4d36e972-e325-11ce-bfc1-08002be10318}");
    EXPECT_EQ(std::stoul(inf_.first(install, "Characteristics"), nullptr, 16) & 0x84, 0x84u)
        << "NCF_PHYSICAL | NCF_HAS_UI";
    EXPECT_EQ(std::stoul(s[1], nullptr, 0) & 0x2, 0x2u) << "SPSVCINST_ASSOCSERVICE";
    EXPECT_EQ(
        (std::vector<std::string>{inf_.first(s[2], "ServiceType"), inf_.first(s[2], "StartType"),
                                  inf_.first(s[2], "ErrorControl")}),
        (std::vector<std::string>{"1", "3", "1"}));
}

// The INF matches the device by an ID the USB stack reports for the model's device descriptor.
TEST_F(PackageTest, HardwareIdIsTheModelDevice) {
    kt735::model::Kt735Device device;
    host::usb::Bus bus;
    bus.plug(device);
    host::PnpManager::IdResult reported = world().pnp().queryId(bus.pdo(), BusQueryHardwareIDs);
    ASSERT_EQ(reported.status, STATUS_SUCCESS);
    std::set<std::string> deviceIds;
    for (const std::wstring& id : reported.ids) {
        deviceIds.insert(lower(std::string(id.begin(), id.end())));
    }
    std::vector<std::string> ids;
    for (const InfLine& manufacturer : inf_.section("Manufacturer")) {
        for (const InfLine& model : inf_.section(manufacturer.fields.at(0))) {
            ids.insert(ids.end(), model.fields.begin() + 1, model.fields.end());
        }
    }
    ASSERT_FALSE(ids.empty());
    for (const std::string& id : ids) {
        EXPECT_EQ(deviceIds.count(lower(id)), 1u) << id << " is not an ID of the device";
    }
}

// One binary name throughout: the service's image, the file copied, the file on the disk, and
// the image the cross build put in the package beside this INF (a copy of this INF, with
// Windows line endings).
TEST_F(PackageTest, ServiceBinaryIsThePackagedImage) {
    std::vector<std::string> s = service();
    std::string binary = inf_.first(s[2], "ServiceBinary");
    EXPECT_EQ(binary.rfind("%12%\\", 0), 0u) << binary << " is not in the drivers directory";
    std::string image = binary.substr(binary.rfind('\\') + 1);

    std::vector<std::string> copied;
    for (const std::string& copyFiles : inf_.value(installSection(), "CopyFiles")) {
        for (const InfLine& line : inf_.section(copyFiles)) {
            copied.push_back(lower(line.fields.at(0)));
        }
    }
    EXPECT_EQ(copied, std::vector<std::string>{lower(image)});
    EXPECT_EQ(inf_.section("SourceDisksFiles").size(), 1u);
    EXPECT_EQ(inf_.value("SourceDisksFiles", image).size(), 1u);
    std::vector<std::string> ndiService;
    for (const InfLine& line : addRegLines()) {
        if (line.fields.size() >= 5 && lower(line.fields[1]) == "ndi" &&
            lower(line.fields[2]) == "service") {
            ndiService.push_back(line.fields[4]);
        }
    }
    EXPECT_EQ(ndiService, std::vector<std::string>{s[0]}) << "Ndi Service is not the AddService";

    const std::filesystem::path package = KT735N_PACKAGE_DIR;
    if (!std::filesystem::exists(package)) {
        GTEST_SKIP() << "no cross-built package in " << package;
    }
    std::vector<std::string> images;
    for (const auto& entry : std::filesystem::directory_iterator(package)) {
        if (lower(entry.path().extension().string()) == ".sys") {
            images.push_back(entry.path().filename().string());
        }
    }
    EXPECT_EQ(images, std::vector<std::string>{image});
    std::string packaged = slurp(package / "KT735N.inf");
    EXPECT_EQ(std::count(packaged.begin(), packaged.end(), '\n'),
              std::count(packaged.begin(), packaged.end(), '\r'));
    std::erase(packaged, '\r');
    EXPECT_EQ(packaged, slurp(KT735N_INF_PATH)) << "the packaged INF is out of date: build again";
}

// Each keyword the driver reads has exactly one entry, spelled as the driver spells it; the
// default is the driver's; the range or the list offers only values the driver handles; and
// the INF offers nothing the driver does not read.
TEST_F(PackageTest, ParamsAreTheKeywordsTheDriverReads) {
    std::vector<std::string> read;
    EXPECT_TRUE(live(&read));
    std::map<std::string, Param> entries = params();

    // The driver's table is what it reads, besides Platform and the network address.
    std::vector<std::string> expected = {"Platform"};
    std::map<std::string, const driver_registry::RegistryKeyword*> table;
    for (const driver_registry::RegistryKeyword& row : driver_registry::RegistryKeywords) {
        expected.emplace_back(row.Keyword.Buffer,
                              row.Keyword.Buffer + row.Keyword.Length / sizeof(WCHAR));
        table[expected.back()] = &row;
    }
    expected.push_back("NetworkAddress");
    EXPECT_EQ(read, expected);

    // Platform counts by its presence alone and changes the plug-and-play filtering of every
    // adapter of the driver: not a setting for the Advanced page.
    EXPECT_EQ(entries.count("platform"), 0u);
    std::set<std::string> offered;
    for (const std::string& keyword : read) {
        SCOPED_TRACE(keyword);
        auto it = entries.find(lower(keyword));
        if (keyword == "Platform" || it == entries.end()) {
            EXPECT_EQ(keyword, "Platform") << "no Ndi\\params entry";
            continue;
        }
        offered.insert(it->first);
        const Param& param = it->second;
        EXPECT_EQ(param.spellings, std::set<std::string>{keyword});
        EXPECT_EQ(param.repeated, std::vector<std::string>{});
        auto get = [&param](const char* name) {
            auto v = param.values.find(name);
            return v == param.values.end() ? std::string("<none>") : v->second;
        };
        EXPECT_NE(get("paramdesc"), "<none>");
        EXPECT_NE(get("paramdesc"), "");
        const std::string type = get("type");

        if (keyword == "NetworkAddress") {
            // 12 hexadecimal digits are the 6 bytes the driver takes; absent keeps the EEPROM's.
            EXPECT_EQ(
                (std::vector<std::string>{type, get("limittext"), get("optional"), get("default")}),
                (std::vector<std::string>{"edit", "12", "1", ""}));
            continue;
        }
        auto row = table.find(keyword);
        ASSERT_NE(row, table.end()) << "read but not in the driver's table";
        const std::uint64_t low = row->second->Minimum, high = row->second->Maximum;
        std::uint64_t fallback = 0;
        ASSERT_TRUE(number(get("default"), fallback)) << get("default");
        EXPECT_EQ(fallback, row->second->Default) << "default";

        if (type == "enum") {
            EXPECT_TRUE(param.values.count("min") == 0 && param.values.count("max") == 0);
            ASSERT_FALSE(param.choices.empty());
            EXPECT_EQ(param.choices.count(get("default")), 1u) << "default is not a choice";
            for (const auto& [choice, text] : param.choices) {
                std::uint64_t v = 0;
                EXPECT_TRUE(number(choice, v) && v >= low && v <= high)
                    << "choice " << choice << " outside " << low << ".." << high;
                EXPECT_FALSE(text.empty()) << "choice " << choice << " has no text";
            }
            continue;
        }
        // A number: its range within the driver's and within what the type can hold.
        const std::map<std::string, std::uint64_t> typeMax = {
            {"int", 0x7FFFFFFF}, {"long", 0x7FFFFFFF}, {"word", 0xFFFF}, {"dword", 0xFFFFFFFF}};
        ASSERT_EQ(typeMax.count(type), 1u) << "type " << type;
        EXPECT_TRUE(param.choices.empty());
        std::uint64_t min = 0, max = 0;
        ASSERT_TRUE(number(get("min"), min) && number(get("max"), max));
        EXPECT_TRUE(low <= min && max <= high && max <= typeMax.at(type))
            << min << ".." << max << " outside " << low << ".." << high;
        EXPECT_TRUE(min <= fallback && fallback <= max) << "default outside the range";
    }
    for (const auto& [name, param] : entries) {
        EXPECT_EQ(offered.count(name), 1u)
            << "Ndi\\params\\" << *param.spellings.begin() << ": the driver does not read it";
    }
}

// Each value the Advanced page offers, at both ends of a range and every choice of a list, with
// the others absent: the adapter initializes, sends a frame, halts, and gives everything back.
TEST_F(PackageTest, AdapterRunsWithEveryValueOffered) {
    std::vector<std::pair<std::string, ULONG>> offers;
    for (const auto& [name, param] : params()) {
        for (const auto& [choice, text] : param.choices) {
            offers.emplace_back(*param.spellings.begin(), std::stoul(choice));
        }
        for (const char* end : {"min", "max"}) {
            if (param.values.count(end) != 0) {
                offers.emplace_back(*param.spellings.begin(), std::stoul(param.values.at(end)));
            }
        }
    }
    ASSERT_GT(offers.size(), 20u);
    for (const auto& [keyword, value] : offers) {
        SCOPED_TRACE(keyword + " = " + std::to_string(value));
        // A new World for each life, failing the test on any verifier report.
        world_.reset();
        world_ = std::make_unique<host::World>();
        world_->verifier().setHandler([](const host::Violation& v) { ADD_FAILURE() << v.text(); });
        EXPECT_TRUE(live(nullptr, keyword, value));
    }
}

} // namespace
