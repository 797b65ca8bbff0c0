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
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "chip/chip.h"
#include "../support/rig.h"
#include "driver/handlers.h"

// The driver keeps its keyword table (names, defaults, the ranges it handles) file-local in
// registry.cpp. The file is compiled once more here, inside a namespace of its own, to read that
// table; the copies it defines there are used by nothing else.
namespace driver_registry {
#include "adapter/registry.cpp"
} // namespace driver_registry

namespace kt735n_test {
namespace {

using Strings = std::vector<std::string>;

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

// A decimal number, as the INF writes values; -1 when the text is not one.
long long number(const std::string& t) {
    return !t.empty() && t.size() <= 10 && t.find_first_not_of("0123456789") == t.npos
               ? std::stoll(t)
               : -1;
}

// One line of a section, `key = fields` or just fields: quotes removed, %tokens% replaced.
struct InfLine {
    std::string key;
    Strings fields;
};

// An INF as SetupAPI reads it, strict where SetupAPI is lenient: a section appearing twice, a
// and an undefined %token% are problems.
class Inf {
  public:
    explicit Inf(const std::string& path) {
        std::ifstream in(path);
        if (!in) {
            problems_.push_back("cannot read " + path);
        }
        std::map<std::string, Strings> raw;
        std::string text, current;
        for (int n = 1; std::getline(in, text); ++n) {
            bool quoted = false;
            for (std::size_t i = 0; i < text.size(); ++i) {
                quoted ^= text[i] == '"';
                if (text[i] == ';' && !quoted) {
                    text.resize(i);
                }
            }
            text = trim(text);
            std::string at = "line " + std::to_string(n) + ": ";
            if (text.empty()) {
                continue;
            } else if (text.front() == '[') {
                current = lower(trim(text.substr(1, text.find(']') - 1)));
                if (!raw.emplace(current, Strings{}).second) {
                    problems_.push_back(at + "section [" + current + "] appears again");
                }
            } else {
                raw[current].push_back(text);
            }
        }
        for (const std::string& line : raw["strings"]) {
            InfLine s = split(line, false);
            strings_[lower(s.key)] = s.fields[0];
        }
        for (const auto& [name, lines] : raw) {
            for (const std::string& line : lines) {
                sections_[name].push_back(split(line, name != "strings"));
            }
            sections_[name];
        }
    }

    const Strings& problems() const { return problems_; }
    // The lines of a section; an absent section is a test failure and reads as empty.
    const std::vector<InfLine>& section(const std::string& name) const {
        static const std::vector<InfLine> none;
        auto it = sections_.find(lower(name));
        EXPECT_NE(it, sections_.end()) << "INF has no section [" << name << "]";
        return it == sections_.end() ? none : it->second;
    }
    // The fields of the one line of `section` with `key`; empty (and a failure) unless exactly one.
    Strings value(const std::string& section, const std::string& key) const {
        std::vector<Strings> found;
        for (const InfLine& line : this->section(section)) {
            if (lower(line.key) == lower(key)) {
                found.push_back(line.fields);
            }
        }
        EXPECT_EQ(found.size(), 1u) << "[" << section << "] " << key;
        return found.size() == 1 ? found[0] : Strings{};
    }
    std::string first(const std::string& section, const std::string& key) const {
        Strings fields = value(section, key);
        return fields.empty() ? "" : fields[0];
    }

  private:
    // Splits `key = a, b, "c"` at the first unquoted '=' and the unquoted commas.
    InfLine split(const std::string& text, bool substitute) {
        InfLine out{"", {""}};
        bool quoted = false;
        for (char c : text) {
            if (c == '"') {
                quoted = !quoted;
            } else if (c == '=' && !quoted && out.key.empty() && out.fields.size() == 1) {
                out.key = trim(out.fields.back());
                out.fields.back().clear();
            } else if (c == ',' && !quoted) {
                out.fields.emplace_back();
            } else {
                out.fields.back() += c;
            }
        }
        for (std::string& field : out.fields) {
            field = substitute ? replaceTokens(trim(field)) : trim(field);
        }
        out.key = substitute ? replaceTokens(out.key) : out.key;
        return out;
    }

    // %name% from [Strings]; %<number>% is a directory ID, kept.
    std::string replaceTokens(const std::string& text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            std::size_t close = text.find('%', i + 1);
            if (text[i] != '%' || close == std::string::npos) {
                out += text[i];
                continue;
            }
            std::string token = text.substr(i + 1, close - i - 1);
            auto defined = strings_.find(lower(token));
            if (number(token) >= 0) {
                out += text.substr(i, close - i + 1);
            } else if (defined != strings_.end()) {
                out += defined->second;
            } else {
                problems_.push_back("undefined string token %" + token + "%");
            }
            i = close;
        }
        return out;
    }

    Strings problems_;
    std::map<std::string, std::vector<InfLine>> sections_;
    std::map<std::string, std::string> strings_;
};

// An Ndi\params entry: its values by lower-case name, its enumeration, values set twice.
struct Param {
    std::map<std::string, std::string> values;
    std::map<std::string, std::string> choices; // enum value -> text
    Strings repeated;
};

class PackageTest : public host::testing::WorldTest {
  protected:
    PackageTest() : inf_(KT735N_INF_PATH) {}

    // The one device install section the models section names for the KT735.
    std::string installSection() const {
        Strings models = inf_.value("Manufacturer", inf_.first("Strings", "Korvex"));
        const std::vector<InfLine>& lines = inf_.section(models.empty() ? "" : models[0]);
        EXPECT_EQ(lines.size(), 1u) << "one model";
        return lines.empty() ? "" : lines[0].fields[0];
    }
    // AddService = name, flags, section
    Strings service() const {
        Strings s = inf_.value(installSection() + ".Services", "AddService");
        EXPECT_EQ(s.size(), 3u);
        s.resize(3);
        return s;
    }

    // The Ndi\params entries of the install section's add-registry sections, by keyword.
    std::map<std::string, Param> params() const {
        std::map<std::string, Param> out;
        const std::string prefix = "ndi\\params\\";
        for (const std::string& addReg : inf_.value(installSection(), "AddReg")) {
            for (const InfLine& line : inf_.section(addReg)) {
                if (line.fields.size() < 5 || lower(line.fields[0]) != "hkr") {
                    ADD_FAILURE() << "not HKR, key, name, 0, value: " << line.fields[0];
                    continue;
                }
                std::string key = lower(line.fields[1]);
                if (key.rfind(prefix, 0) != 0) {
                    continue;
                }
                bool isEnum = key.ends_with("\\enum");
                Param& param = out[line.fields[1].substr(prefix.size(), key.size() - prefix.size() -
                                                                            (isEnum ? 5 : 0))];
                auto& into = isEnum ? param.choices : param.values;
                if (!into.emplace(isEnum ? line.fields[2] : lower(line.fields[2]), line.fields[4])
                         .second) {
                    param.repeated.push_back(key + "," + line.fields[2]);
                }
            }
        }
        return out;
    }

    Inf inf_;
};

// Well-formed, and every section the installation names exists.
TEST_F(PackageTest, InfIsWellFormed) {
    EXPECT_EQ(inf_.problems(), Strings{});
    std::string install = installSection();
    ASSERT_NE(install, "");
    for (const char* key : {"AddReg", "CopyFiles"}) {
        for (const std::string& name : inf_.value(install, key)) {
            inf_.section(name); // fails the test when absent
        }
    }
    inf_.section(service()[2]);
}

// The INF matches the device by IDs the USB stack reports for the model's device descriptor.
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
    Strings ids;
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

// One binary name throughout: the service's image in the drivers directory, the file copied and
// on the disk, and the one image the cross build put in the package.
TEST_F(PackageTest, ServiceBinaryIsThePackagedImage) {
    std::string binary = inf_.first(service()[2], "ServiceBinary");
    EXPECT_EQ(binary.rfind("%12%\\", 0), 0u) << binary << " is not in the drivers directory";
    std::string image = binary.substr(binary.rfind('\\') + 1);
    Strings copied;
    for (const std::string& copyFiles : inf_.value(installSection(), "CopyFiles")) {
        for (const InfLine& line : inf_.section(copyFiles)) {
            copied.push_back(lower(line.fields.at(0)));
        }
    }
    EXPECT_EQ(copied, Strings{lower(image)});
    EXPECT_EQ(inf_.value("SourceDisksFiles", image).size(), 1u);
    if (!std::filesystem::exists(KT735N_PACKAGE_DIR)) {
        GTEST_SKIP() << "no cross-built package in " << KT735N_PACKAGE_DIR;
    }
    Strings images;
    for (const auto& entry : std::filesystem::directory_iterator(KT735N_PACKAGE_DIR)) {
        if (lower(entry.path().extension().string()) == ".sys") {
            images.push_back(entry.path().filename().string());
        }
    }
    EXPECT_EQ(images, Strings{image});
}

// Each keyword the driver reads has exactly one entry, spelled as the driver spells it; the
// default is the driver's; the range or the list offers only values the driver handles; and
// the INF offers nothing the driver does not read.
TEST_F(PackageTest, ParamsAreTheKeywordsTheDriverReads) {
    Strings read; // what the driver reads when started on the model device
    {
        kt735n_test::Rig rig;
        ASSERT_EQ(rig.start(), NDIS_STATUS_SUCCESS);
        read = rig.adapter()->keywordsRead();
        EXPECT_EQ(rig.finish(), "");
    }
    // The driver's table is what it reads, besides Platform and the network address.
    Strings expected = {"Platform"};
    std::map<std::string, const driver_registry::RegistryKeyword*> table;
    for (const driver_registry::RegistryKeyword& row : driver_registry::RegistryKeywords) {
        expected.emplace_back(row.Keyword.Buffer,
                              row.Keyword.Buffer + row.Keyword.Length / sizeof(WCHAR));
        table[expected.back()] = &row;
    }
    expected.push_back("NetworkAddress");
    EXPECT_EQ(read, expected);

    // Platform changes the plug-and-play filtering of every adapter: not for the Advanced page.
    std::map<std::string, Param> entries = params();
    for (const auto& [name, param] : entries) {
        EXPECT_TRUE(name != "Platform" && std::count(read.begin(), read.end(), name) == 1)
            << "Ndi\\params\\" << name << ": the driver does not read it (with this spelling)";
    }
    for (const std::string& keyword : read) {
        SCOPED_TRACE(keyword);
        if (keyword == "Platform") {
            continue;
        }
        ASSERT_EQ(entries.count(keyword), 1u) << "no Ndi\\params entry";
        const Param& param = entries.at(keyword);
        EXPECT_EQ(param.repeated, Strings{});
        auto get = [&param](const char* name) {
            auto v = param.values.find(name);
            return v == param.values.end() ? std::string("<none>") : v->second;
        };
        EXPECT_NE(get("paramdesc"), "<none>");
        if (keyword == "NetworkAddress") {
            // 12 hexadecimal digits are the 6 bytes the driver takes; absent keeps the EEPROM's.
            EXPECT_EQ((Strings{get("type"), get("limittext"), get("optional"), get("default")}),
                      (Strings{"edit", "12", "1", ""}));
            continue;
        }
        const long long low = table.at(keyword)->Minimum, high = table.at(keyword)->Maximum;
        const long long fallback = number(get("default"));
        EXPECT_EQ(fallback, table.at(keyword)->Default) << "default";
        if (get("type") == "enum") {
            ASSERT_FALSE(param.choices.empty());
            EXPECT_EQ(param.choices.count(get("default")), 1u) << "default is not a choice";
            for (const auto& [choice, text] : param.choices) {
                EXPECT_TRUE(number(choice) >= low && number(choice) <= high && !text.empty())
                    << "choice " << choice << " '" << text << "' outside " << low << ".." << high;
            }
        } else {
            const long long min = number(get("min")), max = number(get("max"));
            EXPECT_TRUE(param.choices.empty() && low <= min && max <= high && min <= fallback &&
                        fallback <= max)
                << get("type") << " " << min << ".." << max << " (default " << fallback
                << ") outside " << low << ".." << high;
        }
    }
}

} // namespace
} // namespace kt735n_test
