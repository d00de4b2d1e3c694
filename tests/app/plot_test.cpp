#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "app/plot.h"
#include "nn/network.h"

namespace {

// The 20 printed lines of an empty plot: the frame alone.
std::vector<std::string> emptyDrawing() {
    const std::string border = "+" + std::string(77, '-') + "+";
    const std::string inside = "|" + std::string(77, ' ') + "|";
    std::vector<std::string> lines(20, inside);
    lines.front() = border;
    lines.back() = border;
    return lines;
}

// Puts `mark` in canvas row `canvasRow` for every trace column.
void markWholeRow(std::vector<std::string>& lines, int canvasRow, char mark) {
    for (int column = 1; column <= 77; ++column) lines[canvasRow][column] = mark;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// A table the test owns; the plot only reads it.
struct Table {
    std::vector<int16_t> samples;
    WaveTable view() {
        WaveTable table;
        table.samples = samples.data();
        table.sampleCount = samples.size();
        return table;
    }
};

std::string drawGoal(Table& table) {
    PlotCanvas canvas;
    clearPlotCanvas(canvas);
    plotGoalTrace(canvas, table.view());
    return renderPlotCanvas(canvas);
}

// A network "1" (one hidden neuron) whose output is sigmoid(outputBias) at
// every phase: all weights are zero.
struct ConstantNetwork {
    Network net;
    explicit ConstantNetwork(float outputBias) {
        buildNetwork(net, parseModelSize("1"));
        for (uint32_t p = 0; p < parameterCount(net); ++p) net.params[p] = 0.0f;
        net.params[net.layers[2].biasOffset] = outputBias;
    }
    ~ConstantNetwork() { releaseNetwork(net); }
};

std::string drawBoth(Table& table, float outputBias) {
    ConstantNetwork network(outputBias);
    PlotCanvas canvas;
    clearPlotCanvas(canvas);
    plotGoalTrace(canvas, table.view());
    plotNetworkTrace(canvas, network.net);
    return renderPlotCanvas(canvas);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

}  // namespace

TEST(PlotFrame, AnEmptyCanvasPrintsTheFrameInSeventyNineColumns) {
    PlotCanvas canvas;
    clearPlotCanvas(canvas);
    EXPECT_EQ(renderPlotCanvas(canvas), joined(emptyDrawing()));
}

TEST(PlotFrame, ColumnSeventyNineIsNeverPrinted) {
    PlotCanvas canvas;
    clearPlotCanvas(canvas);
    EXPECT_EQ(canvas.cells[79], '-');
    EXPECT_EQ(canvas.cells[5 * 80 + 79], ' ');
    for (int r = 0; r < kPlotRows; ++r) canvas.cells[r * kPlotColumns + 79] = 'X';
    EXPECT_EQ(renderPlotCanvas(canvas), joined(emptyDrawing()));
}

TEST(PlotRows, AmplitudesMapToRowsFromTheTop) {
    EXPECT_EQ(plotRowOfAmplitude(1.0f), 0);
    EXPECT_EQ(plotRowOfAmplitude(32767 * 1.52587890625e-05f + 0.5f), 0);
    EXPECT_EQ(plotRowOfAmplitude(0.5f), 9);
    EXPECT_EQ(plotRowOfAmplitude(0.01f), 17);
}

TEST(PlotRows, ZeroNotANumberAndOutOfRangeAmplitudesDrawNothing) {
    EXPECT_EQ(plotRowOfAmplitude(0.0f), -1);
    EXPECT_EQ(plotRowOfAmplitude(-0.01f), -1);
    EXPECT_EQ(plotRowOfAmplitude(kNaN), -1);
    EXPECT_EQ(plotRowOfAmplitude(std::numeric_limits<float>::infinity()), -1);
    EXPECT_EQ(plotRowOfAmplitude(-std::numeric_limits<float>::infinity()), -1);
    EXPECT_EQ(plotRowOfAmplitude(1e30f), -1);
    EXPECT_EQ(plotRowOfAmplitude(-1e30f), -1);
}

TEST(GoalTrace, SeventyEightZeroSamplesDrawOnlyCanvasRowTen) {
    Table table{std::vector<int16_t>(78, 0)};
    auto expected = emptyDrawing();
    markWholeRow(expected, 10, '+');
    EXPECT_EQ(drawGoal(table), joined(expected));
}

TEST(GoalTrace, AOneSampleTableIsAFlatLineAtThatSamplesRow) {
    // 16384 stands for 0.75: 18 - 13.5 gives plot row 4, canvas row 5.
    Table table{{16384}};
    auto expected = emptyDrawing();
    markWholeRow(expected, 5, '+');
    EXPECT_EQ(drawGoal(table), joined(expected));
}

TEST(GoalTrace, TheLoudestSampleIsOnTheTopRowAndTheLowestDrawsNothing) {
    // With 78 samples column i shows sample i exactly.
    Table table{std::vector<int16_t>(78, 0)};
    table.samples[5] = 32767;
    table.samples[7] = -32768;
    table.samples[76] = 32767;
    table.samples[77] = 32767;  // beyond the last trace column
    auto expected = emptyDrawing();
    markWholeRow(expected, 10, '+');
    expected[10][6] = ' ';
    expected[1][6] = '+';
    expected[10][8] = ' ';
    expected[10][77] = ' ';
    expected[1][77] = '+';
    EXPECT_EQ(drawGoal(table), joined(expected));
}

TEST(NetworkTrace, AnOutputOfOneDrawsOnTheTopRow) {
    Table table{std::vector<int16_t>(78, 0)};
    auto expected = emptyDrawing();
    markWholeRow(expected, 10, '+');
    markWholeRow(expected, 1, '#');
    EXPECT_EQ(drawBoth(table, 100.0f), joined(expected));
}

TEST(NetworkTrace, AnOutputOfZeroOrNotANumberDrawsNothing) {
    Table table{std::vector<int16_t>(78, 0)};
    auto expected = emptyDrawing();
    markWholeRow(expected, 10, '+');
    EXPECT_EQ(drawBoth(table, -1000.0f), joined(expected));
    EXPECT_EQ(drawBoth(table, kNaN), joined(expected));
}

TEST(NetworkTrace, TheNetworkMarkCoversTheGoalMarkOnTheSameCell) {
    // An all-zero network answers 0.5 everywhere: the same row as sample 0.
    Table table{std::vector<int16_t>(78, 0)};
    auto expected = emptyDrawing();
    markWholeRow(expected, 10, '#');
    EXPECT_EQ(drawBoth(table, 0.0f), joined(expected));
}

TEST(NetworkTrace, EveryDrawingStartsFromAFreshCanvas) {
    ConstantNetwork network(100.0f);
    Table table{std::vector<int16_t>(78, 0)};
    PlotCanvas canvas;
    clearPlotCanvas(canvas);
    plotNetworkTrace(canvas, network.net);
    clearPlotCanvas(canvas);
    plotGoalTrace(canvas, table.view());
    auto expected = emptyDrawing();
    markWholeRow(expected, 10, '+');
    EXPECT_EQ(renderPlotCanvas(canvas), joined(expected));
}

TEST(PlotLegend, NamesBothTraces) {
    EXPECT_STREQ(kPlotLegend, "                 (+) goal     (#) current neural net output\n");
}
