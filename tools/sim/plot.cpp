#include "plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kt735sim {

namespace {

constexpr double kWidth = 960;
constexpr double kLeft = 150; // the lanes' labels
constexpr double kRight = 20;
constexpr int kBins = 120;

std::string num(double v) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", v);
    return text;
}

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

class Svg {
  public:
    Svg(host::Time from, host::Time to) : from_(from), to_(std::max(to, from + 1)) {}

    double x(host::Time t) const {
        return kLeft + (kWidth - kLeft - kRight) * static_cast<double>(t - from_) /
                           static_cast<double>(to_ - from_);
    }
    void rect(double x, double y, double w, double h, const char* fill,
              const std::string& title = {}) {
        body_ += "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) +
                 "\" height=\"" + num(h) + "\" fill=\"" + fill + "\">" +
                 (title.empty() ? "" : "<title>" + escape(title) + "</title>") + "</rect>\n";
    }
    void line(double x1, double y1, double x2, double y2, const char* stroke, double width = 1) {
        body_ += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) +
                 "\" y2=\"" + num(y2) + "\" stroke=\"" + stroke + "\" stroke-width=\"" +
                 num(width) + "\"/>\n";
    }
    void text(double x, double y, const std::string& content, const char* anchor = "start",
              const char* fill = "#222") {
        body_ += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" text-anchor=\"" + anchor +
                 "\" fill=\"" + fill + "\">" + escape(content) + "</text>\n";
    }
    void polyline(const std::string& points, const char* stroke) {
        body_ += "<polyline fill=\"none\" stroke=\"" + std::string(stroke) +
                 "\" stroke-width=\"1.5\" points=\"" + points + "\"/>\n";
    }
    std::string finish(double height) const {
        return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kWidth) + "\" height=\"" +
               num(height) + "\" viewBox=\"0 0 " + num(kWidth) + " " + num(height) +
               "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" "
               "height=\"100%\" fill=\"white\"/>\n" +
               body_ + "</svg>\n";
    }

  private:
    host::Time from_, to_;
    std::string body_;
};

// The link lanes: for each medium, where its link was up; darker where the chip used it.
void linkLanes(Svg& svg, const RunRecord& run, host::Time from, host::Time to, double top) {
    const char* names[] = {"Ethernet link", "phone-line link"};
    const char* keys[] = {"ethernet_link", "phone_line_link"};
    const char* media[] = {"ethernet", "phone-line"};
    for (int lane = 0; lane < 2; lane++) {
        double y = top + lane * 30;
        svg.text(10, y + 15, names[lane]);
        svg.rect(svg.x(from), y, svg.x(to) - svg.x(from), 20, "#eeeeee");
        host::Time since = 0;
        bool up = false;
        bool active = false;
        std::string what;
        std::vector<std::pair<double, std::string>> labels; // drawn over the bars
        std::string speed;
        auto close = [&](host::Time until) {
            double width = std::max(svg.x(until) - svg.x(since), 1.0);
            if (up) {
                svg.rect(svg.x(since), y, width, 20, active ? "#2e8b57" : "#9fd5b3", what);
            }
            if (up && active && width >= 110) {
                labels.emplace_back(svg.x(since) + 4, speed);
            }
        };
        for (const Record& r : run.records) {
            if (r.kind != "initialized" && r.kind != "medium") {
                continue;
            }
            close(r.t);
            since = r.t;
            up = r.fields[keys[lane]].get<bool>();
            active = r.fields["medium"] == media[lane];
            what = r.fields["medium"].get<std::string>() + ", " +
                   std::to_string(r.fields["mbps"].get<int>()) + " Mbit/s " +
                   r.fields["duplex"].get<std::string>() + " duplex";
            speed = std::to_string(r.fields["mbps"].get<int>()) + " Mbit/s " +
                    r.fields["duplex"].get<std::string>() + " duplex";
        }
        close(to);
        for (const auto& [x, label] : labels) {
            svg.text(x, y + 15, label, "start", "white");
        }
    }
    svg.text(kWidth - kRight, top + 75, "dark: the medium the chip uses; light: link only", "end",
             "#555");
}

// Frames per second each way: sends by MiniportSend, receives indicated to NDIS.
void trafficChart(Svg& svg, const RunRecord& run, host::Time from, host::Time to, double top,
                  double height) {
    std::vector<double> sent(kBins), received(kBins);
    double binSeconds = static_cast<double>(to - from) / kBins / host::kSecond;
    for (const Record& r : run.records) {
        if (r.kind != "send" && r.kind != "receive") {
            continue;
        }
        auto bin = static_cast<int>(static_cast<double>(r.t - from) / (to - from) * kBins);
        bin = std::clamp(bin, 0, kBins - 1);
        (r.kind == "send" ? sent : received)[bin] += 1 / binSeconds;
    }
    double peak = 1;
    for (int i = 0; i < kBins; i++) {
        peak = std::max({peak, sent[i], received[i]});
    }
    // A round scale: 1, 2 or 5 times a power of ten.
    double scale = std::pow(10, std::floor(std::log10(peak)));
    for (double step : {1.0, 2.0, 5.0, 10.0}) {
        if (step * scale >= peak) {
            scale *= step;
            break;
        }
    }
    svg.text(10, top + 15, "frames/s");
    svg.text(10, top + 30, "sent", "start", "#1f77b4");
    svg.text(10, top + 45, "received", "start", "#ff7f0e");
    svg.line(svg.x(from), top + height, svg.x(to), top + height, "#999");
    svg.line(svg.x(from), top, svg.x(to), top, "#ddd");
    svg.text(svg.x(from) - 4, top + 4, num(scale).substr(0, num(scale).size() - 2), "end");
    svg.text(svg.x(from) - 4, top + height + 4, "0", "end");
    for (auto [series, colour] : {std::pair{&sent, "#1f77b4"}, std::pair{&received, "#ff7f0e"}}) {
        std::string points;
        for (int i = 0; i < kBins; i++) {
            double y = top + height - height * (*series)[i] / scale;
            host::Time a = from + (to - from) * i / kBins;
            host::Time b = from + (to - from) * (i + 1) / kBins;
            points += num(svg.x(a)) + "," + num(y) + " " + num(svg.x(b)) + "," + num(y) + " ";
        }
        svg.polyline(points, colour);
    }
}

// Marks: drops, OID requests, status indications and resets, one row each.
void markRows(Svg& svg, const RunRecord& run, host::Time from, host::Time to, double top) {
    struct Row {
        const char* label;
        const char* colour;
        std::vector<const char*> kinds;
    };
    const Row rows[] = {{"drops", "#d62728", {"drop"}},
                        {"OID requests", "#9467bd", {"query", "set", "set-complete"}},
                        {"status", "#8c564b", {"status"}},
                        {"resets", "#111111", {"reset"}}};
    for (std::size_t i = 0; i < std::size(rows); i++) {
        double y = top + static_cast<double>(i) * 22;
        svg.text(10, y + 13, rows[i].label);
        svg.line(svg.x(from), y + 9, svg.x(to), y + 9, "#eee");
        for (const Record& r : run.records) {
            if (std::find(rows[i].kinds.begin(), rows[i].kinds.end(), r.kind) ==
                rows[i].kinds.end()) {
                continue;
            }
            std::string title = r.kind;
            for (const char* key : {"name", "status_name", "reason"}) {
                if (r.fields.contains(key)) {
                    // Appended in two steps: GCC 12's -O3 warns falsely (-Wrestrict) about
                    // `" " + string` inlined here.
                    title += ' ';
                    title += r.fields[key].get<std::string>();
                }
            }
            svg.rect(svg.x(r.t) - 1.5, y + 2, 3, 14, rows[i].colour,
                     title + " at " + num(static_cast<double>(r.t) / host::kSecond) + " s");
        }
    }
}

} // namespace

std::string plotSvg(const RunRecord& run) {
    host::Time from = 0;
    host::Time to = std::max<host::Time>(run.end, host::kSecond);
    Svg svg(from, to);
    svg.text(10, 20,
             "kt735sim: " + run.inputs.value("script", Json::object()).value("name", "") +
                 " (virtual seconds after MiniportInitialize returned)");
    linkLanes(svg, run, from, to, 40);
    trafficChart(svg, run, from, to, 120, 100);
    markRows(svg, run, from, to, 250);
    double axis = 250 + 4 * 22 + 10;
    svg.line(svg.x(from), axis, svg.x(to), axis, "#444");
    double span = static_cast<double>(to - from) / host::kSecond;
    double step = std::pow(10, std::floor(std::log10(span)));
    if (span / step < 4) {
        step /= 2;
    }
    for (double s = 0; s <= span + 1e-9; s += step) {
        auto t = from + static_cast<host::Time>(s * host::kSecond);
        svg.line(svg.x(t), axis, svg.x(t), axis + 5, "#444");
        char label[32];
        std::snprintf(label, sizeof(label), step < 1 ? "%.1f s" : "%.0f s", s);
        svg.text(svg.x(t), axis + 18, label, "middle");
    }
    return svg.finish(axis + 30);
}

} // namespace kt735sim
