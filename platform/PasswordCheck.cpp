#include "platform/PasswordCheck.h"

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

Verdict verify(const std::string& user, const std::string& password) {
    const char* confdir = std::getenv("TARVO_PAM_CONFDIR");
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::path(confdir ? confdir : "/etc/pam.d") / service,
                                 ec))
        return Verdict::unknown;
    pam_conv conversation{answerWithPassword, const_cast<char*>(password.c_str())};
    pam_handle_t* pamh = nullptr;
    if (pam_start_confdir(service, user.c_str(), &conversation, confdir, &pamh) != PAM_SUCCESS)
        return Verdict::unknown;
    int result = pam_authenticate(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    pam_end(pamh, result);
    if (result == PAM_SUCCESS) return Verdict::correct;
    return result == PAM_AUTH_ERR ? Verdict::wrong : Verdict::unknown;
}

} // namespace tarvo::platform::PasswordCheck
