#include "server/pages/charts.h"

#include <cmath>

#include "server/pages/html.h"

namespace {

// Chart geometry in SVG user units; the stylesheet scales the whole chart to
// the page width, so these only fix the proportions.
constexpr double kWidth = 400;
constexpr double kLegendRow = 18;
constexpr double kNameRow = 18;
constexpr double kBar = 12;
constexpr double kBarGap = 3;
constexpr double kGroupGap = 8;
// Linear charts: bars start at 0 and may use kTrack; labels follow the bar.
constexpr double kTrack = 320;
// Log charts: bars grow either way from the centre.
constexpr double kLogCentre = 200;
constexpr double kLogHalf = 140;

bool usable(double v) { return std::isfinite(v) && v > 0; }

// Legend names are attacker-controlled and can be long: cut them at a
// character boundary so the legend stays on the chart.
std::string shortened(const std::string& name, size_t limit) {
    if (name.size() <= limit) return name;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return name.substr(0, cut) + "…";
}

}  // namespace

void append_bar_chart(Html& h, const ChartSpec& spec, const ChartSeries* series, int series_count) {
    const double group = kNameRow + series_count * (kBar + kBarGap) + kGroupGap;
    const double top = series_count * kLegendRow + 8;
    const double height = top + kTestCount * group;

    // One scale for the linear and log charts; per-test charts scale inside each group.
    double scale = spec.scale == ChartScale::linear ? spec.reference : std::log(2.0);
    for (int s = 0; s < series_count; ++s) {
        for (int t = 0; t < kTestCount; ++t) {
            const double v = series[s].values[t];
            if (!usable(v)) continue;
            if (spec.scale == ChartScale::linear && v > scale) scale = v;
            if (spec.scale == ChartScale::log_ratio && std::fabs(std::log(v)) > scale) scale = std::fabs(std::log(v));
        }
    }
    if (!(scale > 0)) scale = 1;

    h.printf("<svg class=\"chart\" id=\"%s\" data-chart=\"%s\" viewBox=\"0 0 %.0f %.0f\" role=\"img\" "
                 "aria-labelledby=\"%s-title\"><title id=\"%s-title\">",
            spec.id, spec.id, kWidth, height, spec.id, spec.id);
    h.text(spec.title);
    h.markup("</title>\n");

    for (int s = 0; s < series_count; ++s) {
        const double y = s * kLegendRow;
        h.printf("<rect class=\"key c%d\" x=\"0\" y=\"%.0f\" width=\"12\" height=\"12\" rx=\"2\"/>"
                     "<text class=\"legend\" x=\"18\" y=\"%.0f\">",
                series[s].colour & 7, y + 1, y + 11);
        h.text(shortened(series[s].name, 48));
        h.markup("</text>\n");
    }

    if (spec.reference > 0 && spec.scale != ChartScale::per_test) {
        const double x = spec.scale == ChartScale::linear ? spec.reference / scale * kTrack
                                                          : kLogCentre + std::log(spec.reference) / scale * kLogHalf;
        h.printf("<line class=\"ref\" x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\"/>", x, top - 4, x, height);
        if (spec.reference_label != nullptr)
            h.printf("<text class=\"ref-label\" x=\"%.1f\" y=\"%.0f\">%s</text>\n", x + 3, height - 2,
                    spec.reference_label);
    }

    // Log charts: a faint line at every power of two in range, so the scale reads.
    if (spec.scale == ChartScale::log_ratio) {
        for (int k = -8; k <= 8; ++k) {
            if (k == 0 || std::fabs(k * std::log(2.0)) > scale * 1.0001) continue;
            const double x = kLogCentre + k * std::log(2.0) / scale * kLogHalf;
            h.printf("<line class=\"grid\" x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\"/>"
                         "<text class=\"ref-label\" x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">×%g</text>\n",
                    x, top - 4, x, height - 12, x, height - 2, std::ldexp(1.0, k));
        }
    }

    for (int t = 0; t < kTestCount; ++t) {
        const double y0 = top + t * group;
        h.printf("<g class=\"test\" data-test=\"%s\"><text class=\"name\" x=\"0\" y=\"%.0f\">%s <tspan "
                     "class=\"unit\">%s</tspan></text>\n",
                g_catalogue[t].id, y0 + 13, g_catalogue[t].name,
                spec.scale == ChartScale::per_test ? g_catalogue[t].unit : "");
        double group_scale = 0;
        for (int s = 0; s < series_count; ++s)
            if (usable(series[s].values[t]) && series[s].values[t] > group_scale) group_scale = series[s].values[t];

        for (int s = 0; s < series_count; ++s) {
            const double v = series[s].values[t];
            const double y = y0 + kNameRow + s * (kBar + kBarGap);
            double x = 0, width = 0, label_x = 0;
            const char* anchor = "start";
            if (spec.scale == ChartScale::log_ratio) {
                const double reach = usable(v) ? std::log(v) / scale * kLogHalf : 0;
                x = reach < 0 ? kLogCentre + reach : kLogCentre;
                width = std::fabs(reach);
                label_x = reach < 0 ? x - 4 : x + width + 4;
                if (reach < 0) anchor = "end";
            } else {
                const double full = spec.scale == ChartScale::per_test ? group_scale : scale;
                width = usable(v) && full > 0 ? v / full * kTrack : 0;
                label_x = width + 4;
            }
            h.printf("<rect class=\"bar c%d\" data-test=\"%s\" data-series=\"%s\" x=\"%.1f\" y=\"%.0f\" "
                         "width=\"%.1f\" height=\"%.0f\" rx=\"2\"><title>",
                    series[s].colour & 7, g_catalogue[t].id, series[s].key, x, y, width, kBar);
            h.text(shortened(series[s].name, 60));
            h.markup(": ");
            h.text(series[s].labels[t]);
            h.printf("</title></rect><text class=\"value\" x=\"%.1f\" y=\"%.0f\" text-anchor=\"%s\">", label_x,
                    y + 10, anchor);
            h.text(series[s].labels[t]);
            h.markup("</text>\n");
        }
        h.markup("</g>\n");
    }
    h.markup("</svg>\n");
}
