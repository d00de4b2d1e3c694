#pragma once

#include <string>

#include "nn/network.h"
#include "wave/wave_table.h"

constexpr int kPlotRows = 20;
constexpr int kPlotColumns = 80;   // column 79 is never printed
constexpr int kTraceColumns = 77;
constexpr float kPhaseStep = 0.012820513f;  // 1/78 in single precision

struct PlotCanvas {
    char cells[kPlotRows * kPlotColumns] = {};
};

extern const char* const kPlotLegend;

// Plot row (0 top .. 17 bottom) of an amplitude, or -1 when it draws nothing.
int plotRowOfAmplitude(float y);

void clearPlotCanvas(PlotCanvas& canvas);
void plotGoalTrace(PlotCanvas& canvas, const WaveTable& table);
void plotNetworkTrace(PlotCanvas& canvas, Network& net);

// The 20 printed lines (79 characters and a newline each) of the canvas.
std::string renderPlotCanvas(const PlotCanvas& canvas);

// Draw into the canvas and print it (the full plot adds the legend line).
void drawGoalPlot(PlotCanvas& canvas, const WaveTable& table);
void drawPlot(PlotCanvas& canvas, const WaveTable& table, Network& net);
