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
    std::string folder = argv[1];
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += '/';
    for (const std::string& name : wavgen::exampleShapeNames()) {
        const std::string path = folder + name + ".wav";
        if (!wavgen::writeFileBytes(path, wavgen::canonicalWav(wavgen::exampleShape(name)))) {
            std::fprintf(stderr, "make_waveforms: could not write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
