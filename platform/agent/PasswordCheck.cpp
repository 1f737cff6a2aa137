#include "platform/agent/PasswordCheck.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <security/pam_appl.h>

namespace tarvo::platform::PasswordCheck {
namespace {

int answerWithPassword(int count, const pam_message** messages, pam_response** responses,
                       void* password) {
    auto* replies = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
    if (!replies) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        int style = messages[i]->msg_style;
        if (style == PAM_PROMPT_ECHO_OFF || style == PAM_PROMPT_ECHO_ON) {
            replies[i].resp = strdup(static_cast<const char*>(password));
            if (!replies[i].resp) {
                for (int j = 0; j < i; ++j)
                    std::free(replies[j].resp);
                std::free(replies);
                return PAM_BUF_ERR;
            }
        }
    }
    *responses = replies; // libpam frees them
    return PAM_SUCCESS;
}

} // namespace

Result<Verdict> verify(const std::string& user, const std::string& password) {
    const char* confdir = std::getenv("TARVO_PAM_CONFDIR");
    auto file = std::filesystem::path(confdir ? confdir : "/etc/pam.d") / service;
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return fail(file.string() + " is missing");
    pam_conv conversation{answerWithPassword, const_cast<char*>(password.c_str())};
    pam_handle_t* pamh = nullptr;
    if (int started = pam_start_confdir(service, user.c_str(), &conversation, confdir, &pamh);
        started != PAM_SUCCESS)
        return fail(std::string("PAM did not start: ") + pam_strerror(pamh, started));
    int result = pam_authenticate(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    std::string why = pam_strerror(pamh, result);
    pam_end(pamh, result);
    if (result == PAM_SUCCESS) return {Verdict::correct};
    if (result == PAM_AUTH_ERR) return {Verdict::wrong};
    return fail("PAM could not check it: " + why);
}

} // namespace tarvo::platform::PasswordCheck
