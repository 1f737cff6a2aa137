// Measures the shipped detector and embedding model on the pinned photo
// sets and prints how well they tell the enrolled man from strangers at
// every step of the fitted threshold scale. With --write FILE, puts the
// fitted scale into the model's description file.
#include "core/store/DataFile.h"
#include "core/store/ModelScale.h"
#include "tools/ModelFigures.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <opencv2/core.hpp>
#include <sstream>

namespace M = tarvo::ModelFigures;

namespace {

long countAtOrBelow(const std::vector<float>& distances, float threshold) {
    return std::count_if(distances.begin(), distances.end(),
                         [&](float d) { return d <= threshold; });
}

void report(const M::Measurement& m, const tarvo::ModelScale& scale, float margin) {
    auto low = [](std::vector<float> v) { return *std::min_element(v.begin(), v.end()); };
    auto high = [](std::vector<float> v) { return *std::max_element(v.begin(), v.end()); };
    std::printf("enrolled: %d samples over %d poses of franck.mp4\n", m.samples, m.poses);
    std::printf("genuine: %zu other frames of the video (worst %.3f), %zu stills (worst %.3f), "
                "%zu pairs of one person in two photos (worst %.3f)\n",
                m.genuineFrames.size(), high(m.genuineFrames), m.genuineStills.size(),
                high(m.genuineStills), m.genuinePairs.size(), high(m.genuinePairs));
    std::printf("strangers: %d people, %zu pairs (closest %.3f); against the gallery: %zu "
                "(closest %.3f)\n",
                m.people, m.strangerPairs.size(), low(m.strangerPairs), m.galleryStrangers.size(),
                low(m.galleryStrangers));
    std::printf("scale: strictest %.2f (95 %% of frames accepted), loosest %.2f (closest stranger "
                "pair %.3f less a margin of %.2f)\n\n",
                scale.strictest, scale.loosest, scale.closestStranger, margin);
    std::printf("step  threshold  frames%%  stills%%  photo pairs%%  stranger pairs  gallery "
                "strangers\n");
    for (int k = 0; k < tarvo::ModelScale::steps; ++k) {
        float t = scale.threshold(k);
        std::printf("%4d  %9.4f  %7.1f  %7.1f  %12.1f  %14ld  %17ld\n", k, t, scale.acceptance[k],
                    M::acceptedPercent(m.genuineStills, t), M::acceptedPercent(m.genuinePairs, t),
                    countAtOrBelow(m.strangerPairs, t), countAtOrBelow(m.galleryStrangers, t));
    }
}

int write(const tarvo::ModelScale& scale, const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    auto updated = scale.into(in ? text.str() : "{}");
    if (!updated) {
        std::fprintf(stderr, "measure-model: %s is not a JSON object; left as it is\n", path);
        return 1;
    }
    try {
        tarvo::DataFile::write(path, *updated, 0644);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "measure-model: %s\n", error.what());
        return 1;
    }
    std::printf("\nwrote %s\n", path);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const char* output = argc == 3 && std::strcmp(argv[1], "--write") == 0 ? argv[2] : nullptr;
    if (argc != 1 && !output) {
        std::fprintf(stderr, "usage: measure-model [--write FaceEmbedding.json]\n");
        return 2;
    }
    cv::setNumThreads(1);
    ::setenv("TARVO_MODEL", TARVO_DATA_DIR "/model/FaceEmbedding.tflite", 1);
    const float margin = 0.05f;
    try {
        auto measured = M::measure(TARVO_DATA_DIR);
        auto scale = M::fit(measured, margin);
        report(measured, scale, margin);
        return output ? write(scale, output) : 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "measure-model: %s\n", error.what());
        return 1;
    }
}
