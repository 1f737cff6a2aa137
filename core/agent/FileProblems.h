#pragma once

#include <string>
#include <vector>

namespace tarvo {

// What is wrong with the user's stored files, in the words that status,
// the app and the agent's log all use; each empty when its file is fine or
// missing. Read afresh, without the TPM.
struct FileProblems {
    std::string faces;         // enrolled.json: damaged, or of another version
    std::string settings;      // config.json: damaged, and what stands in for it
    std::string password;      // password.sealed, else the record of its age
    bool facesDamaged = false; // not of another version: it can be set aside

    static FileProblems now();
    std::vector<std::string> all() const;
    bool operator==(const FileProblems&) const = default;
};

} // namespace tarvo
