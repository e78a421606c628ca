// Times measuring a photo against decoding it alone, in one run: the
// benchmark bench/focus-bench prints both and their ratio.
//   focus-decode-timer PHOTO [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Focus.h"
#include "PhotoFile.h"

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: focus-decode-timer PHOTO [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    double decodeBest = 1e9, measureBest = 1e9;
    focus::Measurement m{};
    int width = 0, height = 0;
    for (int run = 0; run < runs; ++run) {
        focus::GreyPhoto photo;
        std::string error;
        auto start = std::chrono::steady_clock::now();
        if (!focus::readGreyPhoto(argv[1], photo, error)) {
            std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
            return 1;
        }
        decodeBest = std::min(decodeBest, seconds(start));
        photo = focus::GreyPhoto();
        start = std::chrono::steady_clock::now();
        focus::readGreyPhoto(argv[1], photo, error);
        m = focus::measureGrey(photo.pixels.get(), photo.width, photo.height, photo.width);
        measureBest = std::min(measureBest, seconds(start));
        width = photo.width, height = photo.height;
    }
    std::printf("%s: %.1f MP, decode %.3f s, measure (decoding included) %.3f s, ratio %.2f; %s\n", argv[1],
                width * double(height) / 1e6, decodeBest, measureBest, measureBest / decodeBest,
                focus::measurementLine(m).c_str());
    return 0;
}
