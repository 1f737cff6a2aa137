/* The password check after pam_tarvo in the sandbox's stacks: like
 * pam_unix with use_first_pass, it verifies the token already in
 * PAM_AUTHTOK against "user:password" lines of the file named by passdb=,
 * and fails when there is none. */
#define _GNU_SOURCE
#include <security/pam_modules.h>
#include <stdio.h>
#include <string.h>

static int listed(const char* passdb, const char* user, const char* token) {
    FILE* file = fopen(passdb, "re");
    if (file == NULL) return 0;
    char line[1024];
    int found = 0;
    size_t user_length = strlen(user);
    while (!found && fgets(line, sizeof line, file) != NULL) {
        line[strcspn(line, "\n")] = '\0';
        found = strncmp(line, user, user_length) == 0 && line[user_length] == ':' &&
                strcmp(line + user_length + 1, token) == 0;
    }
    fclose(file);
    return found;
}

PAM_EXTERN int pam_sm_authenticate(pam_handle_t* pamh, int flags, int argc, const char** argv) {
    (void)flags;
    const char *passdb = NULL, *user = NULL;
    const void* token = NULL;
    for (int i = 0; i < argc; i++)
        if (strncmp(argv[i], "passdb=", 7) == 0) passdb = argv[i] + 7;
    if (passdb == NULL || pam_get_item(pamh, PAM_USER, (const void**)&user) != PAM_SUCCESS ||
        user == NULL)
        return PAM_AUTHINFO_UNAVAIL;
    if (pam_get_item(pamh, PAM_AUTHTOK, &token) != PAM_SUCCESS || token == NULL)
        return PAM_AUTH_ERR;
    return listed(passdb, user, token) ? PAM_SUCCESS : PAM_AUTH_ERR;
}

PAM_EXTERN int pam_sm_setcred(pam_handle_t* pamh, int flags, int argc, const char** argv) {
    (void)pamh, (void)flags, (void)argc, (void)argv;
    return PAM_SUCCESS;
}
