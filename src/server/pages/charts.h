// Horizontal bar charts drawn as inline SVG, one group of bars per test.
// Colours and fonts come from the stylesheet (the pages allow no inline
// styles); every text in a chart is escaped.
#pragma once

#include <string>

#include "workloads/catalogue.h"

class Html;

enum class ChartScale {
    // Each test's bars relative to the largest bar of that test: for figures
    // whose units differ from test to test.
    per_test,
    // One linear scale from 0 for every bar; the reference marks e.g. 100 %.
    linear,
    // Ratios around 1 on a log scale, bars left of the reference for below 1.
    log_ratio,
};

struct ChartSeries {
    std::string name;               // legend text
    const char* key = "";           // data-series attribute, [a-z0-9-] only
    int colour = 0;                 // picks the class "c<colour>", 0..7
    double values[kTestCount] = {}; // the bar quantities; NaN or below 0: no bar length
    std::string labels[kTestCount]; // the texts at the bars' ends
};

struct ChartSpec {
    const char* id;          // the chart's element id and data-chart attribute
    std::string title;       // for screen readers (the page shows its own heading)
    ChartScale scale;
    double reference;        // a marked value: 1 for ratios, 1.0 for full efficiency; 0: none
    const char* reference_label;
};

// Appends one <svg> with a bar of class "bar" per series per test, each
// carrying data-test (the test id) and data-series.
void append_bar_chart(Html& h, const ChartSpec& spec, const ChartSeries* series, int series_count);
