#pragma once

#include "core/base/KindedError.h"
#include "core/store/Descriptor.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The enrolled faces of the one local user, in "enrolled.json". Every
// operation reads the file afresh; writes replace it whole.
namespace tarvo::Enrollment {

struct Face {
    std::string id; // canonical upper-case UUID
    std::string name;
    std::vector<Descriptor> samples;
    double addedAt = 0; // seconds since 2001-01-01 00:00:00 UTC
    bool operator==(const Face&) const = default;
};

enum class EnrollErrorKind { corrupt, nothingEnrolled };
class EnrollError : public KindedError<EnrollErrorKind> {
  public:
    using KindedError::KindedError;
    static EnrollError corrupt(const std::string& reason) {
        return {Kind::corrupt, "enrolled data unreadable (" + reason + "). Re-enroll in Tarvo."};
    }
    static EnrollError nothingEnrolled() {
        return {Kind::nothingEnrolled, "no enrolled face. Enroll in Tarvo."};
    }
};

inline constexpr const char* olderVersion = "enrolled with an older version of Tarvo";
inline constexpr const char* newerVersion = "enrolled with a newer version of Tarvo";
inline constexpr const char* olderFormat = "saved in an older format";
inline constexpr const char* damaged = "the file is damaged or can't be read";

// The stored faces; empty when there is no readable file of this version.
std::vector<Face> faces();
// Every sample of every face, face by face. Throws EnrollError.
std::vector<Descriptor> load();
// Adds a face, replacing any of the same name (ignoring case); an empty name
// becomes "Face N". Throws DataFile::FileError, or EnrollError::corrupt
// when the existing file can't be read: the file stays as it was either way.
void add(const std::string& name, const std::vector<Descriptor>& samples);
// Removes a face; throws as add does.
void remove(const std::string& id);
// Removes every face; a file that can't be read is kept aside as
// "enrolled.json.unreadable".
void clear();

// The file's text for a list of faces, and back (nothing when undecodable
// or of another version).
std::string encode(const std::vector<Face>& faces);
std::optional<std::vector<Face>> decode(std::string_view text);

// Seconds since 2001-01-01 00:00:00 UTC.
double referenceSeconds(std::chrono::system_clock::time_point when);

} // namespace tarvo::Enrollment
