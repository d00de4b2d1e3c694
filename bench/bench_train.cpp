// Training speed of the reference loop and the fast kernel, per epoch as the
// trainer runs it (mini-batches, error measurement, shuffle), against the
// single-core FP32 peak of an FMA loop measured in the same run. Times are
// processor time of this process (std::clock), so other work on a shared
// machine inflates them less than it would wall-clock time.
//
// Usage: bench_train [--fast-only] [--kernel avx512|avx2|portable] [size ...]
//        bench_train --check-sigmoid   (every float through each vector
//        sigmoid this processor runs, against the reference sigmoid)
//   default sizes: 8x8x8 4x32x10x8 32x32x32 64x64x64; --fast-only skips the
//   reference loop (for profiling the kernel).

#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include "bench/peak_flops.h"
#include "nn/forward.h"
#include "nn/network.h"
#include "nn/pcg32.h"
#include "nn/train_fast.h"
#include "nn/training.h"
#include "tools/wavgen.h"
#include "wave/training_set.h"
#include "wave/wave_table.h"

namespace {

constexpr int64_t kSeed = 20240501;
constexpr int kFastWarmupEpochs = 3;
constexpr int kFastEpochs = 101;
constexpr int kReferenceEpochs = 5;

struct Clock {
    using time_point = std::clock_t;
    static time_point now() { return std::clock(); }
};

double secondsSince(Clock::time_point start) {
    return static_cast<double>(Clock::now() - start) / CLOCKS_PER_SEC;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// The best of several timed runs of the multiply-add loop for the kernel's
// instruction set, in GFLOP/s.
double measurePeakGflops(KernelVariant variant) {
    const int64_t iterations = 4000000;
    double best = 0.0;
    float sink = 0.0f;
    for (int run = 0; run < 5; ++run) {
        const Clock::time_point start = Clock::now();
        double flops = 0.0;
#if defined(NETTRAINER_X86_KERNELS)
        if (variant == KernelVariant::Avx512) {
            flops = fmaLoopAvx512(iterations, sink);
        } else if (variant == KernelVariant::Avx2) {
            flops = fmaLoopAvx2(iterations, sink);
        } else {
            flops = mulAddLoopPortable(iterations, sink);
        }
#else
        (void)variant;
        flops = mulAddLoopPortable(iterations, sink);
#endif
        const double seconds = secondsSince(start);
        if (seconds > 0.0) best = std::max(best, flops / seconds * 1e-9);
    }
    if (sink == 12345.0f) std::printf(" ");  // keeps the loops' results alive
    return best;
}

// FLOPs of one epoch, a multiply-add counted as 2: the forward and backward
// passes of 49984 samples, 1562 updates and 1000 forward evaluations.
double epochFlops(const Network& net) {
    const double w = net.weightCount;
    const double b = net.biasCount;
    const double firstLayerWeights = static_cast<double>(layerSize(net, 0)) * layerSize(net, 1);
    return 49984.0 * (6.0 * w - 2.0 * firstLayerWeights + b) + 1562.0 * 2.0 * (w + b) + 2000.0 * w;
}

double peakMemoryMegabytes() {
#if defined(_WIN32)
    return 0.0;
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
#endif
}

struct Bench {
    WaveTable table;
    TrainingSet set;
    Network net;
    Pcg32 rng;

    explicit Bench(const std::string& size) {
        const std::vector<int16_t> saw = wavgen::exampleShape("saw");
        auto* samples = static_cast<int16_t*>(std::malloc(saw.size() * sizeof(int16_t)));
        if (samples != nullptr) std::memcpy(samples, saw.data(), saw.size() * sizeof(int16_t));
        replaceWaveSamples(table, samples, samples != nullptr ? saw.size() : 0);
        seedFromClock(rng, kSeed);
        drawTrainingSet(set, table, rng);
        buildNetwork(net, parseModelSize(size.c_str()));
        initializeNetwork(net, rng);
    }
    ~Bench() {
        releaseNetwork(net);
        releaseTrainingSet(set);
        releaseWaveTable(table);
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // One epoch of the reference loop as trainEpochs runs it, without its
    // progress line.
    double timeReferenceEpoch() {
        const Clock::time_point start = Clock::now();
        trainEpochBatches(net, set, TrainKernel::Reference);
        measureError(net, table, rng);
        shuffleTrainingSet(set, rng);
        return secondsSince(start);
    }

    // Epochs of one burst as trainEpochs runs it with the fast kernels, each
    // timed from the end of the one before (so each time holds the shuffle
    // before it rather than after it), without the progress lines.
    double medianFastEpochMs(KernelVariant variant, int warmup, int epochs) {
        struct Times {
            Clock::time_point last;
            std::vector<double> ms;
        } times{Clock::now(), {}};
        times.ms.reserve(static_cast<size_t>(warmup + epochs));
        trainEpochsFast(net, set, table, rng, warmup + epochs, variant,
                        [](void* context, float) {
                            Times& t = *static_cast<Times*>(context);
                            const Clock::time_point now = Clock::now();
                            t.ms.push_back(static_cast<double>(now - t.last) * 1e3 / CLOCKS_PER_SEC);
                            t.last = now;
                        },
                        &times);
        times.ms.erase(times.ms.begin(), times.ms.begin() + warmup);
        return median(times.ms);
    }

    double medianEpochMs(TrainKernel kernel, KernelVariant variant, int warmup, int epochs) {
        if (kernel == TrainKernel::Fast) return medianFastEpochMs(variant, warmup, epochs);
        for (int e = 0; e < warmup; ++e) timeReferenceEpoch();
        std::vector<double> times;
        for (int e = 0; e < epochs; ++e) times.push_back(timeReferenceEpoch() * 1e3);
        return median(times);
    }
};

// Every float bit pattern through the variant's sigmoid; returns the number
// of results that differ from the reference sigmoid in any bit.
uint64_t checkSigmoid(KernelVariant variant) {
    constexpr uint64_t kChunk = 1u << 16;
    std::vector<float> z(kChunk);
    std::vector<float> fast(kChunk);
    uint64_t mismatches = 0;
    for (uint64_t base = 0; base < (uint64_t{1} << 32); base += kChunk) {
        for (uint64_t k = 0; k < kChunk; ++k) {
            const uint32_t bits = static_cast<uint32_t>(base + k);
            std::memcpy(&z[k], &bits, sizeof bits);
        }
        sigmoidWithKernel(variant, z.data(), fast.data(), kChunk);
        for (uint64_t k = 0; k < kChunk; ++k) {
            const float expected = sigmoid(z[k]);
            if (std::memcmp(&expected, &fast[k], sizeof expected) != 0) {
                if (mismatches < 10) {
                    std::printf("  z=%.9g (0x%08x): reference %.9g, %s %.9g\n", static_cast<double>(z[k]),
                                static_cast<uint32_t>(base + k), static_cast<double>(expected),
                                kernelVariantName(variant), static_cast<double>(fast[k]));
                }
                ++mismatches;
            }
        }
    }
    return mismatches;
}

struct Result {
    std::string size;
    double referenceMs = 0.0;
    double fastMs = 0.0;
    double gflops = 0.0;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> sizes;
    bool fastOnly = false;
    KernelVariant variant = bestKernelVariant();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check-sigmoid") == 0) {
            int failures = 0;
            for (KernelVariant v : {KernelVariant::Avx512, KernelVariant::Avx2, KernelVariant::Portable}) {
                if (!kernelVariantAvailable(v)) continue;
                const uint64_t mismatches = checkSigmoid(v);
                std::printf("sigmoid %s: %llu of 2^32 floats differ from the reference\n", kernelVariantName(v),
                            static_cast<unsigned long long>(mismatches));
                if (mismatches != 0) ++failures;
            }
            return failures == 0 ? 0 : 1;
        }
        if (std::strcmp(argv[i], "--kernel") == 0 && i + 1 < argc) {
            ++i;
            bool known = false;
            for (KernelVariant v : {KernelVariant::Avx512, KernelVariant::Avx2, KernelVariant::Portable}) {
                if (std::strcmp(argv[i], kernelVariantName(v)) == 0 && kernelVariantAvailable(v)) {
                    variant = v;
                    known = true;
                }
            }
            if (!known) {
                std::fprintf(stderr, "kernel %s is not available here\n", argv[i]);
                return 1;
            }
        } else if (std::strcmp(argv[i], "--fast-only") == 0) {
            fastOnly = true;
        } else {
            sizes.emplace_back(argv[i]);
        }
    }
    if (sizes.empty()) sizes = {"8x8x8", "4x32x10x8", "32x32x32", "64x64x64"};

    const char* kernel = kernelVariantName(variant);
    const double peak = measurePeakGflops(variant);
    std::printf("kernel: %s   FP32 peak (%s loop, one core): %.0f GFLOP/s\n\n", kernel,
                variant == KernelVariant::Portable ? "multiply and add" : "FMA", peak);

    std::vector<Result> results;
    for (const std::string& size : sizes) {
        Result r;
        r.size = size;
        if (!fastOnly) {
            Bench bench(size);
            const int epochs = bench.net.weightCount > 4000 ? 3 : kReferenceEpochs;
            r.referenceMs = bench.medianEpochMs(TrainKernel::Reference, variant, 1, epochs);
        }
        {
            Bench bench(size);
            r.fastMs = bench.medianEpochMs(TrainKernel::Fast, variant, kFastWarmupEpochs, fastOnly ? 200 : kFastEpochs);
            r.gflops = epochFlops(bench.net) / (r.fastMs * 1e-3) * 1e-9;
        }
        results.push_back(r);
    }

    std::printf("%-12s %-8s %13s %10s %9s %9s %12s %8s\n", "size", "kernel", "reference ms", "fast ms",
                "speed-up", "GFLOP/s", "s per 5000", "% peak");
    for (const Result& r : results) {
        std::printf("%-12s %-8s %13.2f %10.3f %9.1f %9.1f %12.2f %8.1f\n", r.size.c_str(), kernel, r.referenceMs,
                    r.fastMs, r.referenceMs / r.fastMs, r.gflops, r.fastMs * 5.0, 100.0 * r.gflops / peak);
    }
    std::printf("\npeak memory: %.1f MB\n\n", peakMemoryMegabytes());
    for (const Result& r : results) {
        std::printf("bench size=%s kernel=%s reference_ms=%.1f fast_ms=%.2f speedup=%.1f peak_gflops=%.0f "
                    "peak_pct=%.1f\n",
                    r.size.c_str(), kernel, r.referenceMs, r.fastMs, r.referenceMs / r.fastMs, peak,
                    100.0 * r.gflops / peak);
    }
    return 0;
}
