// Writes the example single-cycle waveforms into a folder (the trainer's own,
// in the build), so a first run has something to train on.
#include <cstdio>
#include <string>

#include "tools/wavgen.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_waveforms FOLDER\n");
        return 2;
    }
    const std::string failed = wavgen::writeExampleWaveforms(argv[1]);
    if (!failed.empty()) {
        std::fprintf(stderr, "make_waveforms: could not write %s\n", failed.c_str());
        return 1;
    }
    return 0;
}
