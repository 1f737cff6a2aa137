#pragma once

#include "platform/Result.h"

#include <string>

namespace tarvo::platform::PasswordCheck {

// The PAM service the application checks passwords with; the installer
// provides /etc/pam.d/tarvo.
inline constexpr const char* service = "tarvo";

enum class Verdict {
    correct,
    wrong, // PAM said so (PAM_AUTH_ERR): the password is not the account's
};

// Whether `password` is the account password of `user`, asked of PAM with a
// conversation that answers every hidden prompt with it. TARVO_PAM_CONFDIR,
// when set, names the directory the service file is read from instead of
// /etc/pam.d (the tests' private stacks). Without the service file PAM would
// fall back to its "other" service, whose refusal says nothing about the
// password. A check that could not be made (no service file, an unknown
// user, an error) fails with PAM's words: it says nothing either way.
Result<Verdict> verify(const std::string& user, const std::string& password);

} // namespace tarvo::platform::PasswordCheck
