#include "platform/PasswordCheck.h"

#include <cstdlib>
#include <cstring>
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

bool verify(const std::string& user, const std::string& password) {
    pam_conv conversation{answerWithPassword, const_cast<char*>(password.c_str())};
    pam_handle_t* pamh = nullptr;
    const char* confdir = std::getenv("TARVO_PAM_CONFDIR");
    if (pam_start_confdir(service, user.c_str(), &conversation, confdir, &pamh) != PAM_SUCCESS)
        return false;
    int result = pam_authenticate(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    pam_end(pamh, result);
    return result == PAM_SUCCESS;
}

} // namespace tarvo::platform::PasswordCheck
