// Formatting of the result table (Markdown) and of the JSON results.
#include "bench_util.h"

#include <cmath>

namespace bench {

namespace {

std::string Printf(const char* fmt, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

}  // namespace

std::string FormatValue(double v, const std::string& unit) {
    if (unit == "share") return Printf("%.2f %%", v * 100);
    if (unit == "bytes") {
        if (v >= 1024.0 * 1024 * 1024) return Printf("%.2f GiB", v / (1024.0 * 1024 * 1024));
        if (v >= 1024 * 1024) return Printf("%.2f MiB", v / (1024 * 1024));
        return Printf("%.1f KiB", v / 1024);
    }
    if (v >= 1) return Printf("%.3f s", v);
    if (v >= 1e-3) return Printf("%.2f ms", v * 1e3);
    if (v >= 1e-6) return Printf("%.2f µs", v * 1e6);
    return Printf("%.0f ns", v * 1e9);
}

std::string ResultsMarkdown(const std::vector<Result>& results) {
    std::string md =
        "| Measurement | Nodes | Median | p99 | Baseline | Baseline median | Ratio | Target | Met |\n"
        "|---|---:|---:|---:|---|---:|---:|---:|:---:|\n";
    for (const Result& r : results) {
        std::string p99 = r.P99 >= 0 ? FormatValue(r.P99, r.Unit) : "";
        std::string base, baseMedian, ratio, target, met;
        if (!r.Baseline.empty()) {
            base = r.Baseline;
            baseMedian = FormatValue(r.BaselineMedian, r.Unit);
            ratio = Printf("%.2f×", r.Ratio());
        }
        if (r.HasTarget()) {
            if (!r.Baseline.empty()) {
                target = Printf("≤ %.2f×", r.Target);
            } else {
                target = (r.P99 >= 0 ? "p99 ≤ " : "≤ ") + FormatValue(r.Target, r.Unit);
            }
            met = r.Met() ? "yes" : "**no**";
        }
        char nodes[32];
        std::snprintf(nodes, sizeof nodes, "%u", r.Nodes);
        md += "| " + r.Name + " | " + nodes + " | " + FormatValue(r.Median, r.Unit) + " | " + p99 + " | " + base +
              " | " + baseMedian + " | " + ratio + " | " + target + " | " + met + " |\n";
    }
    return md;
}

std::string ResultsJson(const std::vector<Result>& results, const std::string& machine) {
    std::string js = "{\n  \"machine\": " + JsonString(machine) + ",\n  \"results\": [\n";
    for (size_t i = 0; i < results.size(); ++i) {
        const Result& r = results[i];
        js += "    {\"name\": " + JsonString(r.Name) + ", \"nodes\": " + std::to_string(r.Nodes);
        js += ", \"unit\": " + JsonString(r.Unit);
        js += ", \"median_s\": " + (r.Unit == "s" ? JsonNumber(r.Median) : std::string("null"));
        if (r.Unit != "s") js += ", \"median\": " + JsonNumber(r.Median);
        js += ", \"runs\": " + std::to_string(r.Runs);
        if (r.P99 >= 0) js += std::string(r.Unit == "s" ? ", \"p99_s\": " : ", \"p99\": ") + JsonNumber(r.P99);
        if (!r.Baseline.empty()) {
            js += ", \"baseline\": " + JsonString(r.Baseline);
            js += ", \"baseline_median_s\": " + JsonNumber(r.BaselineMedian);
            js += ", \"ratio\": " + JsonNumber(r.Ratio());
        }
        if (r.HasTarget()) {
            js += std::string(r.Baseline.empty() ? ", \"target_max\": " : ", \"target_ratio_max\": ") +
                  JsonNumber(r.Target);
            js += std::string(", \"target_met\": ") + (r.Met() ? "true" : "false");
        }
        if (!r.Note.empty()) js += ", \"note\": " + JsonString(r.Note);
        js += i + 1 < results.size() ? "},\n" : "}\n";
    }
    js += "  ]\n}\n";
    return js;
}

}  // namespace bench
