#include "core/agent/FileProblems.h"

#include "core/agent/PasswordFreshness.h"
#include "core/agent/StoredPassword.h"
#include "core/store/Config.h"
#include "core/store/Enrollment.h"

namespace tarvo {

FileProblems FileProblems::now() {
    FileProblems problems;
    if (auto faces = Enrollment::problem()) {
        problems.faces = faces->what();
        problems.facesDamaged = faces->kind() == Enrollment::EnrollErrorKind::damaged;
    }
    Config::Source source;
    Config::load(&source);
    if (auto settings = Config::problem(source)) problems.settings = *settings;
    if (StoredPassword::state() == Damage::State::damaged)
        problems.password = Damage::password;
    else if (PasswordFreshness::fileState() == Damage::State::damaged)
        problems.password = Damage::passwordAge;
    return problems;
}

std::vector<std::string> FileProblems::all() const {
    std::vector<std::string> list;
    for (const auto* problem : {&faces, &settings, &password})
        if (!problem->empty()) list.push_back(*problem);
    return list;
}

} // namespace tarvo
