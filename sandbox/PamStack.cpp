#include "sandbox/PamStack.h"

#include "sandbox/BuildTree.h"
#include "sandbox/Sandbox.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <security/pam_appl.h>
#include <stdexcept>

namespace tarvo::sandbox::PamStack {
namespace {

// The person at the lock screen: answers prompts from a list and notes
// them; with the list used up (or none, as on a Return that carries no
// conversation) the conversation fails.
struct Person {
    std::vector<std::string> answers;
    size_t next = 0;
    std::vector<std::string> prompts;
};

int converse(int count, const pam_message** messages, pam_response** responses, void* data) {
    auto& person = *static_cast<Person*>(data);
    auto* out = static_cast<pam_response*>(calloc(size_t(count), sizeof(pam_response)));
    if (!out) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        person.prompts.push_back(messages[i]->msg ? messages[i]->msg : "");
        if (messages[i]->msg_style != PAM_PROMPT_ECHO_OFF &&
            messages[i]->msg_style != PAM_PROMPT_ECHO_ON)
            continue;
        if (person.next == person.answers.size()) {
            for (int j = 0; j < i; ++j)
                free(out[j].resp);
            free(out);
            return PAM_CONV_ERR;
        }
        out[i].resp = strdup(person.answers[person.next++].c_str());
    }
    *responses = out;
    return PAM_SUCCESS;
}

std::optional<std::string> environment(pam_handle_t* pamh, const char* name) {
    const char* value = pam_getenv(pamh, name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

} // namespace

std::string tarvoModule() {
    return tree::pamModule;
}
std::string passcheckModule() {
    return tree::passcheck;
}

std::string wrapperModule(const std::string& name) {
    return std::string(tree::pamWrappers) + "/" + name;
}

std::string writeService(const std::string& service, const std::vector<std::string>& lines) {
    auto dir = root() / "pam.d";
    std::filesystem::create_directories(dir);
    // Services without a file of their own fall back to "other".
    if (!std::filesystem::exists(dir / "other")) {
        std::ofstream other(dir / "other");
        other << "auth required pam_deny.so\n";
    }
    std::ofstream file(dir / service, std::ios::trunc);
    for (const auto& line : lines)
        file << line << "\n";
    if (!file) throw std::runtime_error("sandbox: cannot write PAM service " + service);
    return dir.string();
}

Outcome run(const std::string& service, const std::string& user,
            const std::vector<std::string>& answers, ThenCredentials then) {
    std::string dir = (root() / "pam.d").string();
    Person person{answers, 0, {}};
    pam_conv conversation{converse, &person};
    pam_handle_t* pamh = nullptr;
    Outcome outcome;
    if (pam_start_confdir(service.c_str(), user.c_str(), &conversation, dir.c_str(), &pamh) !=
        PAM_SUCCESS)
        throw std::runtime_error("sandbox: pam_start_confdir failed");
    outcome.status = pam_authenticate(pamh, 0);
    outcome.stackWentOn = environment(pamh, "PAM_USER").has_value();
    outcome.token = environment(pamh, "PAM_AUTHTOK");
    if (then == ThenCredentials::yes && outcome.status == PAM_SUCCESS)
        pam_setcred(pamh, PAM_REFRESH_CRED);
    pam_end(pamh, outcome.status);
    outcome.prompts = person.prompts;
    return outcome;
}

namespace {

void writeLockScreen(const std::string& service, const std::vector<std::string>& tarvoOptions,
                     bool typed) {
    std::string tarvo = "auth [success=done ignore=ignore default=die] " + tarvoModule();
    for (const auto& option : tarvoOptions)
        tarvo += " " + option;
    std::vector<std::string> lines;
    // pam_set_items puts PAM_AUTHTOK from the environment into the handle,
    // as a lock screen does with a typed password.
    if (typed) lines.push_back("auth required " + wrapperModule("pam_set_items.so"));
    lines.push_back(tarvo);
    lines.push_back("auth required " + wrapperModule("pam_get_items.so"));
    writeService(service, lines);
}

} // namespace

Outcome authenticate(const std::string& user, const std::vector<std::string>& tarvoOptions,
                     const std::optional<std::string>& typed, ThenCredentials then) {
    writeLockScreen("tarvo-lockscreen", tarvoOptions, typed.has_value());
    if (typed) setenv("PAM_AUTHTOK", typed->c_str(), 1);
    Outcome outcome = run("tarvo-lockscreen", user, {}, then);
    unsetenv("PAM_AUTHTOK");
    return outcome;
}

Outcome authenticateAs(const std::string& service, const std::string& user,
                       const std::vector<std::string>& answers) {
    writeLockScreen(service, {"debug"}, false);
    return run(service, user, answers);
}

void usePasswordCheck(const std::map<std::string, std::string>& passwords) {
    auto file = root() / "matrix";
    std::ofstream out(file);
    for (const auto& [user, password] : passwords)
        out << user << ":" << password << ":tarvo\n";
    out.close();
    auto dir = writeService(
        "tarvo", {"auth required " + wrapperModule("pam_matrix.so") + " passdb=" + file.string()});
    ::setenv("TARVO_PAM_CONFDIR", dir.c_str(), 1);
}

} // namespace tarvo::sandbox::PamStack
