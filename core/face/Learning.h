#pragma once

#include "core/store/Descriptor.h"
#include "core/store/Enrollment.h"

#include <cstddef>
#include <optional>
#include <vector>

// Face unlock learns the user's own rooms from scans that came close and
// were then confirmed: the lock screen accepted the user's password right
// after. The scan's descriptor joins the face as a learned sample. Learned
// samples never vouch for more learning: every one lies within `bound` of
// what the user enrolled, so a chain of lessons can't walk toward someone
// else.
namespace tarvo::Learning {

// What a scan that ended without a match saw at its closest: the averaged
// descriptor the recognizer compared, and its distance to every sample the
// scan held (enrolled and learned).
struct NearMiss {
    Descriptor averaged;
    float distance = 0;
    bool operator==(const NearMiss&) const = default;
};

struct Rule {
    float threshold = 0;   // the user's: within it the scan would have matched
    float bound = 0;       // the farthest a lesson may lie from the enrolled samples
    std::size_t kept = 10; // learned samples per face (three rooms of three); the oldest goes first
};

// The rule at the user's threshold, bounded by the model scale's loosest
// threshold: no stranger pair measured comes that close.
Rule ruleFor(float threshold);

// The face's learned samples after a confirmed `miss` at Unix time `now`:
// the miss added (its distance measured to the enrolled samples alone) and
// the oldest dropped beyond `rule.kept`; as they were when the miss isn't
// near this face's enrolled samples or would have matched.
std::vector<Enrollment::Learned> learn(const Enrollment::Face& face, const NearMiss& miss,
                                       const Rule& rule, double now);

// Which of `faces` a confirmed miss teaches: the one whose enrolled samples
// lie closest to it, if any learns from it.
std::optional<std::size_t> pupil(const std::vector<Enrollment::Face>& faces, const NearMiss& miss,
                                 const Rule& rule);

} // namespace tarvo::Learning
