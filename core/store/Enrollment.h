#pragma once

#include "core/base/KindedError.h"
#include "core/store/Damage.h"
#include "core/store/Descriptor.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The enrolled faces of the one local user, in "enrolled.json". Every
// operation reads the file afresh; writes replace it whole.
namespace tarvo::Enrollment {

// A scan's descriptor taken in after the lock screen accepted the user's
// password following the scan's near miss (core/face/Learning).
struct Learned {
    Descriptor sample;
    double learnedAt = 0; // Unix seconds
    float distance = 0;   // from the face's enrolled samples when learned
    bool operator==(const Learned&) const = default;
};

struct Face {
    std::string id; // canonical upper-case UUID
    std::string name;
    std::vector<Descriptor> samples; // as enrolled
    double addedAt = 0;              // Unix seconds
    std::vector<Learned> learned;    // oldest first
    bool operator==(const Face&) const = default;
};

// corrupt: a file of another version or format; damaged: one that can't
// be decoded at all.
enum class EnrollErrorKind { corrupt, damaged, nothingEnrolled };
class EnrollError : public KindedError<EnrollErrorKind> {
  public:
    using KindedError::KindedError;
    static EnrollError damaged() { return {Kind::damaged, std::string(Damage::faces)}; }
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

// The stored faces; empty when there is no readable file of this version.
std::vector<Face> faces();
// Why the file that is there can't be used (corrupt or damaged); nothing
// when it can, or when there is none.
std::optional<EnrollError> problem();
// Sets a damaged file aside (Damage::setAside), so that enrolling starts
// afresh; nothing when the file isn't damaged. Throws DataFile::FileError.
std::optional<std::filesystem::path> setAsideDamaged();
// Every sample of every face, enrolled and learned, face by face. Throws
// EnrollError.
std::vector<Descriptor> load();
// Adds a face, replacing any of the same name (ignoring case); an empty name
// becomes "Face N". Throws DataFile::FileError, or EnrollError (corrupt or
// damaged) when the existing file can't be read: the file stays as it was
// either way.
void add(const std::string& name, const std::vector<Descriptor>& samples);
// Removes a face; throws as add does.
void remove(const std::string& id);
// Removes every face; a file that can't be read is kept aside as
// "enrolled.json.unreadable".
void clear();
// Replaces the learned samples of the face `id`; throws as add does.
// Nothing happens when the face is gone.
void setLearned(const std::string& id, const std::vector<Learned>& learned);
// Forgets every learned sample, keeping what was enrolled; the number
// forgotten. Throws as add does.
std::size_t forgetLearned();

// The file's text for a list of faces, and back (nothing when undecodable
// or of another version). The previous version, dated from 2001 and with
// nothing learned, decodes too.
std::string encode(const std::vector<Face>& faces);
std::optional<std::vector<Face>> decode(std::string_view text);

double unixSeconds(std::chrono::system_clock::time_point when);

} // namespace tarvo::Enrollment
