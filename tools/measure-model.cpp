// Measures the shipped detector and embedding model on the pinned photo
// sets, in good light and in the rooms people unlock in, and prints how
// well they tell the enrolled man from strangers at every step of the
// fitted threshold scale: per frame, and as lock-screen scans. With --write
// FILE, puts the fitted scale into the model's description file; with
// --rooms a,b,... measures only those rooms (the fitted ones are always
// measured). With --attacks, only how often a print or a screen showing
// the enrolled man unlocks (tools/Attacks), and with --pictures DIR a frame
// of each attack in DIR.
#include "core/face/Recognizer.h"
#include "core/store/DataFile.h"
#include "core/store/ModelScale.h"
#include "tools/ModelFigures.h"
#include "tools/Rooms.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

namespace M = tarvo::ModelFigures;
namespace Rooms = tarvo::Rooms;

namespace {

long countAtOrBelow(const std::vector<float>& distances, float threshold) {
    return std::count_if(distances.begin(), distances.end(),
                         [&](float d) { return d <= threshold; });
}

float lowest(const std::vector<float>& v) {
    return v.empty() ? 2.0f : *std::min_element(v.begin(), v.end());
}

float highest(const std::vector<float>& v) {
    return v.empty() ? 0.0f : *std::max_element(v.begin(), v.end());
}

void describe(const M::Measurement& m, const tarvo::ModelScale& scale, float margin) {
    std::printf("enrolled: %d samples over %d poses of franck.mp4, in good light\n", m.samples,
                m.poses);
    std::printf("genuine: %zu stills (worst %.3f), %zu pairs of one person in two photos (worst "
                "%.3f)\n",
                m.genuineStills.size(), highest(m.genuineStills), m.genuinePairs.size(),
                highest(m.genuinePairs));
    std::printf("strangers: %d people, %zu pairs in good light (closest %.3f)\n", m.people,
                m.strangerPairs.size(), lowest(m.strangerPairs));
    std::printf("\nrooms (the video's frames and the photos, rendered):\n");
    for (const auto& room : m.rooms)
        std::printf(
            "  %-9s %s; %zu probe frames, median %.3f; gallery strangers: %zu (closest "
            "%.3f)\n",
            room.room.c_str(), Rooms::named(room.room).what.c_str(), room.frames.size(),
            [&] {
                auto v = room.frames;
                std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
                return v.empty() ? 0.0 : double(v[v.size() / 2]);
            }(),
            room.galleryStrangers.size(), lowest(room.galleryStrangers));
    std::printf("\nscale: strictest %.2f (%s each unlock 99 %% of scans or more), loosest %.2f "
                "(closest stranger pair %.3f less a margin of %.2f); the strictest lies %.3f "
                "below the closest stranger pair\n",
                scale.strictest, "recorded, noise12 and dark", scale.loosest, scale.closestStranger,
                margin, scale.closestStranger - scale.strictest);
}

void heading(const M::Measurement& m, const char* tail) {
    std::printf("step  threshold");
    for (const auto& room : m.rooms)
        std::printf("  %9s", room.room.c_str());
    std::printf("%s\n", tail);
}

void report(const M::Measurement& m, const tarvo::ModelScale& scale) {
    std::printf("\nframes accepted, %% (every third frame, none within 0.5 s of a sample):\n");
    heading(m, "");
    for (int k = 0; k < tarvo::ModelScale::steps; ++k) {
        float t = scale.threshold(k);
        std::printf("%4d  %9.4f", k, t);
        for (const auto& room : m.rooms)
            std::printf("  %9.1f", M::acceptedPercent(room.frames, t));
        std::printf("\n");
    }
    std::printf("\nscans that unlock, %% (one started every 0.5 s; the recognizer's rules: %lld "
                "matching frames in a row within 3.5 s, giving up after %lld non-matches or %lld "
                "beyond 1.5 x the threshold):\n",
                static_cast<long long>(tarvo::Config{}.requiredFrames),
                static_cast<long long>(tarvo::Recognizer::giveUpNonMatches),
                static_cast<long long>(tarvo::Recognizer::giveUpFarNonMatches));
    heading(m, "  stranger pairs  gallery strangers (any room)");
    for (int k = 0; k < tarvo::ModelScale::steps; ++k) {
        float t = scale.threshold(k);
        std::printf("%4d  %9.4f", k, t);
        long strangers = 0;
        for (const auto& room : m.rooms) {
            std::printf("  %9.1f", M::scansUnlocked(m, room, t));
            strangers += countAtOrBelow(room.galleryStrangers, t);
        }
        std::printf("  %14ld  %17ld\n", countAtOrBelow(m.strangerPairs, t), strangers);
    }
}

// Scans at fixed thresholds, whatever the scale: for comparing pipelines.
void compare(const M::Measurement& m) {
    std::printf("\nscans that unlock, %% , at fixed thresholds:\n");
    heading(m, "  gallery strangers (any room)");
    for (float t = 0.07f; t < 0.2f; t += 0.02f) {
        std::printf("%4s  %9.4f", "", t);
        long strangers = 0;
        for (const auto& room : m.rooms) {
            std::printf("  %9.1f", M::scansUnlocked(m, room, t));
            strangers += countAtOrBelow(room.galleryStrangers, t);
        }
        std::printf("  %17ld\n", strangers);
    }
}

long strangersWithin(const std::vector<tarvo::Descriptor>& strangers,
                     const std::vector<tarvo::Descriptor>& samples, float threshold) {
    return std::count_if(strangers.begin(), strangers.end(), [&](const tarvo::Descriptor& face) {
        auto d = tarvo::FaceEngine::distance(face, samples);
        return d && *d <= threshold;
    });
}

float closestTo(const std::vector<tarvo::Descriptor>& strangers,
                const std::vector<tarvo::Descriptor>& samples) {
    float closest = 2;
    for (const auto& face : strangers)
        closest = std::min(closest, tarvo::FaceEngine::distance(face, samples).value_or(2.0f));
    return closest;
}

// The user's first weeks: each room learns from the misses its password
// confirmed, as the agent does, at `threshold`. The samples learned in every
// room, with the enrolled ones.
std::vector<tarvo::Descriptor> learning(const M::Measurement& m, const tarvo::ModelScale& scale,
                                        float threshold) {
    const std::vector<int> checkpoints = {0, 1, 3, 10};
    tarvo::Learning::Rule rule{threshold, scale.loosest};
    std::printf("\nlearning from confirmed near misses at threshold %.2f (a lesson "
                "lies within %.2f of the enrolled samples; %zu kept):\n"
                "scans that unlock, %% (scans whose frames taught not counted), after N misses "
                "the typed password confirmed\n%-9s",
                double(rule.threshold), double(rule.bound), rule.kept, "room");
    for (int n : checkpoints)
        std::printf("  %9s", n == 0 ? "before" : ("after " + std::to_string(n)).c_str());
    std::printf("  learned\n");
    auto all = m.gallery;
    for (const auto& room : m.rooms) {
        auto lessons = M::learnIn(m, room, rule, checkpoints);
        std::printf("%-9s", room.room.c_str());
        for (size_t i = 0; i < checkpoints.size(); ++i)
            std::printf("  %9.1f", lessons.unlocked[i]);
        std::printf("  %7zu%s\n", lessons.learned.back().size(),
                    lessons.misses.back() < checkpoints.back() ? " (ran out of misses)" : "");
        all.insert(all.end(), lessons.learned.back().begin(), lessons.learned.back().end());
    }
    return all;
}

// Strangers against the enrolled samples and what every room learned.
void strangersWithLearned(const M::Measurement& m, const tarvo::ModelScale& scale,
                          const std::vector<tarvo::Descriptor>& all) {
    std::vector<tarvo::Descriptor> inRooms;
    for (const auto& room : m.rooms)
        inRooms.insert(inRooms.end(), room.strangerFaces.begin(), room.strangerFaces.end());
    std::printf("\nstrangers within each step's threshold of the enrolled samples and every "
                "room's learned ones (%zu samples):\n"
                "step  threshold  good light (%zu faces)  rooms (%zu faces)\n",
                all.size(), m.strangerFaces.size(), inRooms.size());
    for (int k = 0; k < tarvo::ModelScale::steps; ++k) {
        float t = scale.threshold(k);
        std::printf("%4d  %9.4f  %20ld  %17ld\n", k, double(t),
                    strangersWithin(m.strangerFaces, all, t), strangersWithin(inRooms, all, t));
    }
    std::printf(
        "closest stranger: %.3f to the enrolled samples, %.3f with the learned ones\n",
        double(std::min(closestTo(m.strangerFaces, m.gallery), closestTo(inRooms, m.gallery))),
        double(std::min(closestTo(m.strangerFaces, all), closestTo(inRooms, all))));
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

// The rooms asked for, the fitted ones first; every room when none is named.
std::vector<std::string> roomsFrom(const char* list) {
    std::vector<std::string> rooms = M::fittedRooms;
    std::vector<std::string> asked;
    if (list) {
        std::stringstream names(list);
        for (std::string name; std::getline(names, name, ',');)
            asked.push_back(name);
    } else {
        for (const auto& room : Rooms::all())
            asked.push_back(room.name);
    }
    for (const auto& name : asked) {
        (void)Rooms::named(name); // throws for a name that isn't a room
        if (std::find(rooms.begin(), rooms.end(), name) == rooms.end()) rooms.push_back(name);
    }
    return rooms;
}

// Pictures of the enrolled man held up to the camera: the share of scans
// that unlock at the default threshold, as the agent runs them, with its
// default liveness and with the blink.
void attacks(const char* pictures) {
    auto video = M::recording(TARVO_DATA_DIR);
    if (pictures) {
        for (const auto& attack : tarvo::Attacks::all()) {
            auto shown = tarvo::Attacks::show(attack, video[1200], 1200);
            cv::imwrite(std::string(pictures) + "/attack-" + attack.name + ".png",
                        tarvo::Attacks::photograph(shown, 0, false));
        }
    }
    auto measured = M::measure(TARVO_DATA_DIR, {});
    const double every = 16; // seconds of the video between scans
    tarvo::Config config;
    config.threshold = tarvo::Config::thresholdFor(config.sensitivity);
    std::printf("attack scans that unlock, %%, at the default threshold %.2f; a scan every %.0f s "
                "of the video:\n",
                double(config.threshold), every);
    std::printf("%-8s %-7s", "attack", "held");
    for (const auto& room : M::fittedRooms)
        std::printf("  %9s", room.c_str());
    std::printf("  %14s\n", "blink recorded");
    for (const auto& attack : tarvo::Attacks::all())
        for (bool moving : {false, true}) {
            std::printf("%-8s %-7s", attack.name.c_str(), moving ? "moved" : "still");
            auto share = [](const M::AttackScans& s) {
                return s.scans ? 100.0 * s.unlocked / s.scans : 0.0;
            };
            for (const auto& room : M::fittedRooms) {
                auto scans = M::attackScans(measured, video, attack, moving, Rooms::named(room),
                                            config, every);
                std::printf("  %8.0f%%", share(scans));
            }
            auto blink = config;
            blink.liveness = tarvo::Config::Liveness::blink;
            auto scans = M::attackScans(measured, video, attack, moving, Rooms::named("recorded"),
                                        blink, every);
            std::printf("  %13.0f%%  (%d scans a cell)\n", share(scans), scans.scans);
            std::fflush(stdout);
        }
    for (const auto& attack : tarvo::Attacks::all())
        std::printf("  %s: %s\n", attack.name.c_str(), attack.what.c_str());
}

} // namespace

int main(int argc, char** argv) {
    const char *output = nullptr, *rooms = nullptr;
    bool onlyAttacks = false;
    const char* pictures = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--attacks") == 0) {
            onlyAttacks = true;
        } else if (i + 1 < argc && std::strcmp(argv[i], "--pictures") == 0) {
            pictures = argv[++i];
        } else if (i + 1 < argc && std::strcmp(argv[i], "--write") == 0) {
            output = argv[++i];
        } else if (i + 1 < argc && std::strcmp(argv[i], "--rooms") == 0) {
            rooms = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: measure-model [--rooms a,b,...] [--write FaceEmbedding.json] | "
                         "--attacks [--pictures DIR]\n");
            return 2;
        }
    }
    cv::setNumThreads(1);
    ::setenv("TARVO_MODEL", TARVO_DATA_DIR "/model/FaceEmbedding.tflite", 1);
    const float margin = 0.05f;
    try {
        if (onlyAttacks) {
            attacks(pictures);
            return 0;
        }
        auto measured = M::measure(TARVO_DATA_DIR, roomsFrom(rooms));
        auto scale = M::fit(measured, margin);
        describe(measured, scale, margin);
        report(measured, scale);
        compare(measured);
        // At the default, and at a threshold as far below it as another
        // day's session lies from the day of enrollment.
        auto learned = learning(measured, scale, scale.strictest);
        auto harder = learning(measured, scale, 0.07f);
        learned.insert(learned.end(), harder.begin() + long(measured.gallery.size()), harder.end());
        strangersWithLearned(measured, scale, learned);
        return output ? write(scale, output) : 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "measure-model: %s\n", error.what());
        return 1;
    }
}
