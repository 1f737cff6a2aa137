/* pam_tarvo: asks the user's agent whether the enrolled face is in front of
 * the camera and, when it vouches, hands its password to the next module.
 * Every doubt steps aside (PAM_IGNORE) so the typed password works as ever. */
#define _GNU_SOURCE
#include "module_id.h"
#include "reply.h"

#include <dlfcn.h>
#include <errno.h>
#include <pwd.h>
#include <security/pam_modules.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))
#define AGENT_SOCKET "Library/Application Support/Tarvo/agent.sock"
#define AGENT_FOLDER "Library/Application Support/Tarvo"
#define PATH_SIZE 1024
#define MAX_SOCKET_PATH 103 /* the agent can't bind a longer path */
#define KEYBAG "/System/Library/PrivateFrameworks/MobileKeyBag.framework/MobileKeyBag"

/* Found by the application in the installed file; never read here. */
__attribute__((used)) const char module_id[] = "TARVO-MODULE-ID:" TARVO_MODULE_ID;

static int debug_enabled = 0;

__attribute__((format(printf, 2, 3))) static void flog(int priority, const char* format, ...) {
    if (priority == LOG_DEBUG && !debug_enabled) return;
    char message[512];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    syslog(LOG_AUTHPRIV | priority, "pam_tarvo: %s", message);
}

static int path_is_safe(const char* path, uid_t uid) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        flog(LOG_DEBUG, "lstat(%s): %s", path, strerror(errno));
        return 0;
    }
    if (st.st_uid != uid) {
        flog(LOG_WARNING, "%s owned by uid %d, expected %d \u2014 refusing", path, (int)st.st_uid,
             (int)uid);
        return 0;
    }
    if (st.st_mode & 0022) {
        flog(LOG_WARNING, "%s is group/world writable (%o) \u2014 refusing", path,
             (unsigned)(st.st_mode & 07777));
        return 0;
    }
    return 1;
}

/* The key bag exists only on the system this module was first written for;
 * elsewhere loading fails and the step logs -1 throughout. */
static void keybag_step(void) {
    int before = -1, after = -1, status = -1;
    void* framework = dlopen(KEYBAG, RTLD_NOW | RTLD_LOCAL);
    if (framework != NULL) {
        int (*lock_state)(void*) = (int (*)(void*))dlsym(framework, "MKBGetDeviceLockState");
        if (lock_state != NULL) before = lock_state(NULL);
        /* Unlocking takes a CoreFoundation data object, which can't be made
         * here, so the unlock itself is never called. */
        if (lock_state != NULL) after = lock_state(NULL);
    }
    flog(LOG_NOTICE, "keybag %d -> %d (unlock %d)", before, after, status);
}

/* Connects to the agent's socket and asks VERIFY; the connected descriptor,
 * or -1 after logging why not. */
static int ask_agent(const char* socket_path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        flog(LOG_DEBUG, "socket(): %s", strerror(errno));
        return -1;
    }
    /* A full listen queue makes connect wait; bound it like the reply. */
    struct timeval limit = {REPLY_TIMEOUT_MS / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, socket_path, strlen(socket_path));
    if (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
        flog(LOG_DEBUG, "connect(%s): %s \u2014 agent not running?", socket_path, strerror(errno));
        close(fd);
        return -1;
    }
    if (send(fd, "VERIFY\n", 7, MSG_NOSIGNAL) < 7) {
        flog(LOG_DEBUG, "write(): %s", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

/* Fills password with what the agent handed out; returns 1 if it vouched. */
static int agent_vouches(const char* user, const char* socket_path, char* password) {
    int fd = ask_agent(socket_path);
    if (fd < 0) return 0;
    char reply[REPLY_SIZE];
    wipe(password, PASSWORD_SIZE);
    int length = read_line_with_timeout(fd, reply);
    close(fd);
    if (length <= 0) {
        flog(LOG_NOTICE, "no reply within %dms \u2014 falling through to password",
             REPLY_TIMEOUT_MS);
        wipe(reply, sizeof reply);
        return 0;
    }
    if (strncmp(reply, "OK", 2) != 0) {
        flog(LOG_DEBUG, "agent declined: %.32s", reply);
        wipe(reply, sizeof reply);
        return 0;
    }
    reply_password(reply, password);
    wipe(reply, sizeof reply);
    flog(LOG_NOTICE, "agent vouched for %s", user);
    return 1;
}

EXPORT int pam_sm_authenticate(pam_handle_t* pamh, int flags, int argc, const char** argv) {
    (void)flags;
    for (int i = 0; i < argc; i++)
        if (strcmp(argv[i], "debug") == 0) debug_enabled = 1;

    const char* user = NULL;
    const void* typed = NULL;
    struct passwd entry, *found = NULL;
    char entry_buffer[4096];
    char socket_path[PATH_SIZE], folder_path[PATH_SIZE], password[PASSWORD_SIZE];

    if (pam_get_user(pamh, &user, NULL) != PAM_SUCCESS || user == NULL || user[0] == '\0') {
        flog(LOG_DEBUG, "no user in pam handle");
        return PAM_IGNORE;
    }
    if (pam_get_item(pamh, PAM_AUTHTOK, &typed) == PAM_SUCCESS && typed != NULL &&
        ((const char*)typed)[0] != '\0') {
        flog(LOG_DEBUG, "password typed, leaving it to the password check");
        return PAM_IGNORE;
    }
    if (getpwnam_r(user, &entry, entry_buffer, sizeof entry_buffer, &found) != 0 || !found) {
        flog(LOG_DEBUG, "unknown user %s", user);
        return PAM_IGNORE;
    }
    /* A path the agent could not have bound would reach some other socket
     * once cut to the address's size, so it is refused as too long. */
    int length = snprintf(socket_path, sizeof socket_path, "%s/%s", entry.pw_dir, AGENT_SOCKET);
    if (length < 0 || length > MAX_SOCKET_PATH) {
        flog(LOG_WARNING, "socket path too long for %s", user);
        return PAM_IGNORE;
    }
    snprintf(folder_path, sizeof folder_path, "%s/%s", entry.pw_dir, AGENT_FOLDER);
    if (!path_is_safe(folder_path, entry.pw_uid) || !path_is_safe(socket_path, entry.pw_uid))
        return PAM_IGNORE;

    if (!agent_vouches(user, socket_path, password)) return PAM_IGNORE;
    /* The agent vouched but sent no usable password: the face alone counts. */
    if (password[0] == '\0') return PAM_SUCCESS;

    keybag_step();
    int set = pam_set_item(pamh, PAM_AUTHTOK, password);
    wipe(password, sizeof password);
    if (set != PAM_SUCCESS) {
        flog(LOG_WARNING, "could not set PAM_AUTHTOK: %s", pam_strerror(pamh, set));
        return PAM_SUCCESS;
    }
    return PAM_IGNORE;
}

EXPORT int pam_sm_setcred(pam_handle_t* pamh, int flags, int argc, const char** argv) {
    (void)pamh, (void)flags, (void)argc, (void)argv;
    return PAM_IGNORE;
}

EXPORT int pam_sm_acct_mgmt(pam_handle_t* pamh, int flags, int argc, const char** argv) {
    (void)pamh, (void)flags, (void)argc, (void)argv;
    return PAM_IGNORE;
}
