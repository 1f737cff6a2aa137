#pragma once

#include "core/base/KindedError.h"
#include "core/store/Damage.h"

#include <filesystem>
#include <optional>
#include <string>

namespace tarvo {

// The user's account password, kept in "password.sealed" sealed to a key
// that only this machine's TPM can use, so the agent can hand it back after
// a face match and open the keyring with it.
namespace StoredPassword {

enum class ProblemKind {
    couldNotSave,
    cannotOpen,
    damaged, // the file is there but isn't a sealed password: enter it again
    cannotCheck,
    wrongPassword,
    noTpm,
    tpmNotAllowed,
    keyringLocked
};
class Problem : public KindedError<ProblemKind> {
  public:
    using KindedError::KindedError;

    static Problem couldNotSave(const std::string& reason) {
        return {Kind::couldNotSave, "Tarvo couldn't save the password: " + reason};
    }
    static Problem cannotOpen(const std::string& reason) {
        return {Kind::cannotOpen, "the saved password can't be opened: " + reason};
    }
    static Problem damaged() { return {Kind::damaged, std::string(Damage::password)}; }
    static Problem cannotCheck(const std::string& reason) {
        return {Kind::cannotCheck, "the password could not be checked: " + reason};
    }
    static Problem keyringLocked(const std::string& reason) {
        return {Kind::keyringLocked, "the login keyring stays locked: " + reason};
    }
    static Problem wrongPassword() {
        return {Kind::wrongPassword, "That isn't the login password of this computer."};
    }
    static Problem noTpm() {
        return {Kind::noTpm, "This computer has no TPM to protect the password with. Turn the TPM "
                             "on in the firmware's settings (a virtual machine needs a virtual "
                             "TPM), then try again."};
    }
    static Problem tpmNotAllowed(const std::string& device) {
        return {Kind::tpmNotAllowed,
                "Your account may not use the TPM (" + device +
                    ") yet: join the tss group (sudo adduser $USER tss, or tarvoctl on does it), "
                    "then log out and back in."};
    }
};

// Why no password can be sealed on this computer now, before anyone types
// one: no TPM, a TPM this user may not use, or one that does not answer.
std::optional<Problem> tpmProblem();

std::filesystem::path file();

// Checks the password, seals it to a new TPM key and replaces any stored one
// (a damaged one is set aside). Throws Problem; on any failure the stored
// file stays as it was.
void save(const std::string& password);
// The stored password, or nothing when none is stored. Throws
// Problem::damaged for a file that isn't a sealed password, and
// Problem::cannotOpen when one is stored that can't be opened (sealed by
// another TPM, the TPM unreachable, not the user's own).
std::optional<std::string> load();
bool isStored();
// Whether the file is there and decodes, without asking the TPM.
Damage::State state();
// Whether this is the current user's account password. Throws
// Problem::cannotCheck when the check itself could not be made: that says
// nothing about the password.
bool isCorrect(const std::string& password);
// Removes the stored password; never fails visibly.
void clear();
// Unlocks the login keyring with the password (a session without a keyring
// has nothing to unlock). Throws Problem::keyringLocked with the reason.
void unlockKeyring(const std::string& password);

} // namespace StoredPassword

namespace LoginKeyring {
// Whether the login keyring is unlocked, or there is none to unlock.
bool isUnlocked();
} // namespace LoginKeyring

} // namespace tarvo
