#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::sandbox::PamStack {

// pam_tarvo.so as built; the sandbox's password check (it verifies the token
// in PAM_AUTHTOK against a passdb= file of "user:password" lines); and
// pam_wrapper's test modules by name.
std::string tarvoModule();
std::string passcheckModule();
std::string wrapperModule(const std::string& name);

struct Outcome {
    int status = -1;                  // what pam_authenticate returned
    bool stackWentOn = false;         // a module after pam_tarvo ran
    std::optional<std::string> token; // PAM_AUTHTOK as the next module saw it
    std::vector<std::string> prompts; // what the person was asked, in order
};

// What a lock screen does once its stack let the user in: pam_setcred.
enum class ThenCredentials { no, yes };

// Writes the service file `service` under the sandbox's PAM directory, one
// line per entry, and returns the directory for pam_start_confdir.
std::string writeService(const std::string& service, const std::vector<std::string>& lines);

// The lock screen's part: pam_tarvo returns at once on success and goes on to
// the next module on ignore; pam_wrapper's pam_get_items after it exports
// PAM_AUTHTOK. `typed` is the password typed before pressing Return.
Outcome authenticate(const std::string& user,
                     const std::vector<std::string>& tarvoOptions = {"debug"},
                     const std::optional<std::string>& typed = std::nullopt,
                     ThenCredentials then = ThenCredentials::no);

// The same stack under another service's name, whose person answers the
// prompts with `answers`, one each, in order ("" is Enter alone).
Outcome authenticateAs(const std::string& service, const std::string& user,
                       const std::vector<std::string>& answers);

// The account passwords Tarvo's own password check (PAM service "tarvo")
// accepts from now on, by user: pam_matrix against a file of the sandbox's.
// Points TARVO_PAM_CONFDIR at the sandbox's PAM directory.
void usePasswordCheck(const std::map<std::string, std::string>& passwords);

// Runs pam_authenticate for a service of the sandbox's PAM directory; a
// prompt beyond `answers` fails the conversation.
Outcome run(const std::string& service, const std::string& user,
            const std::vector<std::string>& answers = {},
            ThenCredentials then = ThenCredentials::no);

} // namespace tarvo::sandbox::PamStack
