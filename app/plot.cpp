#include "app/plot.h"

#include <cstdio>

#include "app/platform.h"
#include "nn/forward.h"

const char* const kPlotLegend = "                 (+) goal     (#) current neural net output\n";

int plotRowOfAmplitude(float y) {
    if (!(y == y)) return -1;
    const float row = 18.0f - 18.0f * y;
    // Outside this range the conversion below would not be defined; such
    // amplitudes draw nothing anyway.
    if (!(row > -1.0f && row < 19.0f)) return -1;
    const int k = static_cast<int>(row);
    return (k >= 0 && k <= 17) ? k : -1;
}

static void putMark(PlotCanvas& canvas, int column, float amplitude, char mark) {
    const int k = plotRowOfAmplitude(amplitude);
    if (k < 0) return;
    canvas.cells[(k + 1) * kPlotColumns + column + 1] = mark;
}

void clearPlotCanvas(PlotCanvas& canvas) {
    for (char& cell : canvas.cells) cell = ' ';
    for (int row : {0, kPlotRows - 1}) {
        for (int c = 0; c < kPlotColumns; ++c) {
            canvas.cells[row * kPlotColumns + c] = (c == 0 || c == 78) ? '+' : '-';
        }
    }
    for (int row = 1; row < kPlotRows - 1; ++row) {
        canvas.cells[row * kPlotColumns] = '|';
        canvas.cells[row * kPlotColumns + 78] = '|';
    }
}

void plotGoalTrace(PlotCanvas& canvas, const WaveTable& table) {
    const float n = static_cast<float>(table.sampleCount);
    for (int i = 0; i < kTraceColumns; ++i) {
        const float x = (n * kPhaseStep) * static_cast<float>(i);
        putMark(canvas, i, sampleWaveTable(table, x), '+');
    }
}

void plotNetworkTrace(PlotCanvas& canvas, Network& net) {
    for (int j = 0; j < kTraceColumns; ++j) {
        const float phase = static_cast<float>(j) * kPhaseStep;
        float output = 0.0f;
        evaluateNetwork(net, &phase, &output);
        putMark(canvas, j, output, '#');
    }
}

std::string renderPlotCanvas(const PlotCanvas& canvas) {
    std::string text;
    text.reserve(kPlotRows * kPlotColumns);
    for (int row = 0; row < kPlotRows; ++row) {
        text.append(canvas.cells + row * kPlotColumns, kPlotColumns - 1);
        text += '\n';
    }
    return text;
}

static void printPlotCanvas(const PlotCanvas& canvas) {
    for (int row = 0; row < kPlotRows; ++row) {
        std::fwrite(canvas.cells + row * kPlotColumns, 1, kPlotColumns - 1, stdout);
        platform::putChar('\n');
    }
}

void drawGoalPlot(PlotCanvas& canvas, const WaveTable& table) {
    clearPlotCanvas(canvas);
    plotGoalTrace(canvas, table);
    printPlotCanvas(canvas);
}

void drawPlot(PlotCanvas& canvas, const WaveTable& table, Network& net) {
    clearPlotCanvas(canvas);
    plotGoalTrace(canvas, table);
    plotNetworkTrace(canvas, net);
    printPlotCanvas(canvas);
    std::fputs(kPlotLegend, stdout);
    std::fflush(stdout);
}
