// Training and plotting run in tight loops after the model is built; they
// must not touch the heap, and neither may rebuilding a model that fits in
// the storage an earlier one left behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/plot.h"
#include "nn/forward.h"
#include "nn/network.h"
#include "nn/pcg32.h"
#include "nn/training.h"
#include "support/alloc_counter.h"
#include "wave/training_set.h"
#include "wave/wave_table.h"

namespace {

// A saw cycle, so the plot has marks on many rows.
void fillSawTable(WaveTable& table, uint64_t count) {
    int16_t* samples = static_cast<int16_t*>(std::malloc(count * sizeof(int16_t)));
    for (uint64_t i = 0; i < count; ++i) {
        samples[i] = static_cast<int16_t>(-30000 + static_cast<int64_t>(60000 * i / count));
    }
    replaceWaveSamples(table, samples, count);
}

struct TrainedSetup {
    WaveTable table;
    TrainingSet set;
    Network net;
    Pcg32 rng;

    TrainedSetup() = default;
    TrainedSetup(const TrainedSetup&) = delete;
    TrainedSetup& operator=(const TrainedSetup&) = delete;
    ~TrainedSetup() {
        releaseNetwork(net);
        releaseTrainingSet(set);
        releaseWaveTable(table);
    }
};

void prepare(TrainedSetup& run, const char* sizeLine) {
    seedFromClock(run.rng, 1234567);
    fillSawTable(run.table, 600);
    ASSERT_TRUE(drawTrainingSet(run.set, run.table, run.rng));
    ASSERT_TRUE(buildNetwork(run.net, parseModelSize(sizeLine)));
    initializeNetwork(run.net, run.rng);
}

uint64_t allocationsDuringTraining(TrainKernel kernel, std::string& output) {
    TrainedSetup run;
    prepare(run, "8x8x8");
    int32_t epochsTrained = 0;
    testing::internal::CaptureStdout();
    startCountingAllocations();
    trainEpochs(run.net, run.set, run.table, run.rng, 2, epochsTrained, kernel);
    const uint64_t count = stopCountingAllocations();
    output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(epochsTrained, 2);
    return count;
}

}  // namespace

// The optimizer may drop a new whose result is never looked at.
static std::vector<int>* volatile escapedVector = nullptr;

TEST(AllocationCounter, SeesAnAllocationInsideItsScopeOnly) {
    std::vector<int>* outside = new std::vector<int>(4);
    escapedVector = outside;
    startCountingAllocations();
    std::vector<int>* inside = new std::vector<int>(4);
    escapedVector = inside;
    const uint64_t counted = stopCountingAllocations();
    delete inside;
    delete outside;
    EXPECT_EQ(counted, 2u);  // the vector object and its elements
}

TEST(NoAllocation, TrainingWithTheReferenceKernel) {
    std::string output;
    EXPECT_EQ(allocationsDuringTraining(TrainKernel::Reference, output), 0u);
    EXPECT_NE(output.find("Epoch 2 / 2:  Total Error: "), std::string::npos) << output;
}

TEST(NoAllocation, TrainingWithTheFastKernel) {
    std::string output;
    EXPECT_EQ(allocationsDuringTraining(TrainKernel::Fast, output), 0u);
    EXPECT_NE(output.find("Epoch 2 / 2:  Total Error: "), std::string::npos) << output;
}

TEST(NoAllocation, DrawingThePlot) {
    TrainedSetup run;
    prepare(run, "8x8x8");
    PlotCanvas canvas;
    startCountingAllocations();
    clearPlotCanvas(canvas);
    plotGoalTrace(canvas, run.table);
    plotNetworkTrace(canvas, run.net);
    const uint64_t count = stopCountingAllocations();
    EXPECT_EQ(count, 0u);
    const std::string cells(canvas.cells, sizeof canvas.cells);
    EXPECT_NE(cells.find('+', kPlotColumns), std::string::npos);  // a goal mark inside the frame
}

TEST(NoAllocation, BuildingASmallerModelAfterALargerOne) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, parseModelSize("32x32x32x32")));
    const float* params = net.params;
    const uint32_t capacity = net.paramCapacity;
    for (const char* smaller : {"8x8x8", "4", "8x0x8", "32x16", "32x32x32", "1x2x3x4"}) {
        startCountingAllocations();
        const bool built = buildNetwork(net, parseModelSize(smaller));
        const uint64_t count = stopCountingAllocations();
        EXPECT_TRUE(built) << smaller;
        EXPECT_EQ(count, 0u) << smaller;
        // The parameter array comes from calloc, which is not counted: it must stay.
        EXPECT_EQ(net.params, params) << smaller;
        EXPECT_EQ(net.paramCapacity, capacity) << smaller;
    }
    releaseNetwork(net);
}

TEST(NoAllocation, ALargerModelIsWhereTheBuildAllocates) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, parseModelSize("8x8x8")));
    startCountingAllocations();
    const bool built = buildNetwork(net, parseModelSize("16x16x16x16"));
    const uint64_t count = stopCountingAllocations();
    EXPECT_TRUE(built);
    EXPECT_GT(count, 0u);
    releaseNetwork(net);
}

TEST(NoAllocation, BuildingTheSameModelAgain) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, parseModelSize("4x32x10x8")));
    const float* params = net.params;
    startCountingAllocations();
    const bool built = buildNetwork(net, parseModelSize("4x32x10x8"));
    const uint64_t count = stopCountingAllocations();
    EXPECT_TRUE(built);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(net.params, params);
    releaseNetwork(net);
}

TEST(NoAllocation, GoingBackToTheLargerModelAfterASmallerOne) {
    Network net;
    ASSERT_TRUE(buildNetwork(net, parseModelSize("64x64")));
    ASSERT_TRUE(buildNetwork(net, parseModelSize("4")));
    const float* params = net.params;
    startCountingAllocations();
    const bool built = buildNetwork(net, parseModelSize("64x64"));
    const uint64_t count = stopCountingAllocations();
    EXPECT_TRUE(built);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(net.params, params);
    releaseNetwork(net);
}

TEST(NoAllocation, InitializingAndEvaluatingABuiltModel) {
    TrainedSetup run;
    prepare(run, "8x8x8x8x8");
    startCountingAllocations();
    initializeNetwork(run.net, run.rng);
    const float phase = 0.3f;
    float output = -1.0f;
    evaluateNetwork(run.net, &phase, &output);
    const uint64_t count = stopCountingAllocations();
    EXPECT_EQ(count, 0u);
    EXPECT_GE(output, 0.0f);
}
