/* pam_tarvo: asks the user's agent whether the enrolled face is in front of
 * the camera and, when it vouches, hands its password to the next module.
 * Every doubt steps aside (PAM_IGNORE) so the typed password works as ever.
 * A face only ever unlocks a session; it never opens one. */
#define _GNU_SOURCE
#include "module_id.h"
#include "protocol/agent_protocol.h"
#include "reply.h"

#include <errno.h>
#include <pwd.h>
#include <security/pam_ext.h>
#include <security/pam_modules.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))
#define PATH_SIZE 64
#define NAME_SIZE 256
#define ENTER_PROMPT "Password, or Enter to unlock with your face:"

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

/* The user name as it may appear in the system log: a line feed or other
 * control byte in a name would otherwise forge a line of its own. */
static const char* printable(const char* name, char* out) {
    size_t n = 0;
    for (const unsigned char* c = (const unsigned char*)name; *c && n + 5 < NAME_SIZE; c++) {
        if (*c < 0x20 || *c == 0x7f || *c == '\\')
            n += (size_t)snprintf(out + n, NAME_SIZE - n, "\\x%02x", *c);
        else
            out[n++] = (char)*c;
    }
    out[n] = '\0';
    return out;
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

/* The path checks can't stop a folder above the socket being swapped
 * between the check and the connect: whoever answers must be the user. */
static int peer_is(int fd, const char* socket_path, uid_t uid) {
    struct ucred peer;
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
        flog(LOG_DEBUG, "SO_PEERCRED(%s): %s", socket_path, strerror(errno));
        return 0;
    }
    if (peer.uid != uid) {
        flog(LOG_WARNING, "%s answered by uid %d, expected %d \u2014 refusing", socket_path,
             (int)peer.uid, (int)uid);
        return 0;
    }
    return 1;
}

/* Connects to the agent's socket, checks who listens and sends `request`;
 * the connected descriptor, or -1 after logging why not. A full listen
 * queue makes connect wait, so it shares the one deadline with the reply. */
static int ask_agent(const char* socket_path, uid_t uid, const char* request, long long deadline) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        flog(LOG_DEBUG, "socket(): %s", strerror(errno));
        return -1;
    }
    long long left = deadline - monotonic_ms();
    struct timeval limit = {left / 1000, (left % 1000) * 1000};
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
    if (!peer_is(fd, socket_path, uid)) {
        close(fd);
        return -1;
    }
    size_t length = strlen(request);
    if (send(fd, request, length, MSG_NOSIGNAL) < (ssize_t)length) {
        flog(LOG_DEBUG, "write(): %s", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

/* What the agent vouched for; password holds it for VOUCH_PASSWORD. */
static enum vouch ask_and_judge(const char* name, const char* socket_path, uid_t uid,
                                char* password) {
    long long deadline = monotonic_ms() + TARVO_REPLY_TIMEOUT_MS;
    wipe(password, PASSWORD_SIZE);
    int fd = ask_agent(socket_path, uid, TARVO_VERIFY "\n", deadline);
    if (fd < 0) return VOUCH_NONE;
    char reply[REPLY_SIZE];
    int length = read_line_before(fd, reply, deadline);
    close(fd);
    enum vouch verdict = length > 0 ? reply_vouch(reply, password) : VOUCH_NONE;
    if (length <= 0)
        flog(LOG_NOTICE, "no reply within %dms \u2014 falling through to password",
             TARVO_REPLY_TIMEOUT_MS);
    else if (verdict == VOUCH_NONE && strncmp(reply, TARVO_OK, 2) == 0)
        /* Not echoed: it may hold a password. */
        flog(LOG_WARNING, "malformed reply from the agent \u2014 refusing");
    else if (verdict == VOUCH_NONE)
        flog(LOG_DEBUG, "agent declined: %.32s", reply);
    wipe(reply, sizeof reply);
    if (verdict != VOUCH_NONE) flog(LOG_NOTICE, "agent vouched for %s", name);
    return verdict;
}

static int is_local_graphical(const char* session) {
    char *type = NULL, *class = NULL;
    int graphical =
        sd_session_get_type(session, &type) >= 0 && sd_session_get_class(session, &class) >= 0 &&
        sd_session_is_remote(session) == 0 && strcmp(class, "user") == 0 &&
        (strcmp(type, "x11") == 0 || strcmp(type, "wayland") == 0 || strcmp(type, "mir") == 0);
    free(type);
    free(class);
    return graphical;
}

/* The root lock screens log people in through the same stack they unlock
 * with (GDM's gdm-password, LightDM's lightdm), and the agent may well be
 * running with no one logged in (lingering, an ssh login). What tells an
 * unlock from a login is a session to go back to: a graphical one of the
 * user's, on this machine, not closing. */
static int has_session_to_unlock(uid_t uid) {
    char** sessions = NULL;
    int count = sd_uid_get_sessions(uid, 0, &sessions);
    int found = 0;
    for (int i = 0; i < count && !found; i++)
        found = is_local_graphical(sessions[i]);
    for (int i = 0; i < count; i++)
        free(sessions[i]);
    free(sessions);
    return found;
}

/* Plasma's locker and LightDM's greeter run their stack as the lock screen
 * appears, while whoever locked it is still in front of the camera: a vouch
 * then would stand until anyone pressed Plasma's Unlock button, and under
 * LightDM would undo the lock at once. There the module asks first, as the
 * password prompt, and scans only when Enter comes with nothing typed. */
static int scans_on_enter(pam_handle_t* pamh) {
    const void* service = NULL;
    if (pam_get_item(pamh, PAM_SERVICE, &service) != PAM_SUCCESS || service == NULL) return 0;
    return strcmp((const char*)service, "kde") == 0 || strcmp((const char*)service, "lightdm") == 0;
}

/* 1 when Enter came alone; a typed password goes in PAM_AUTHTOK, for the
 * password check after this module, and no scan. */
static int enter_pressed(pam_handle_t* pamh) {
    char* response = NULL;
    if (pam_prompt(pamh, PAM_PROMPT_ECHO_OFF, &response, "%s", ENTER_PROMPT) != PAM_SUCCESS ||
        response == NULL) {
        flog(LOG_DEBUG, "no answer to the prompt");
        return 0;
    }
    int alone = response[0] == '\0';
    if (!alone) {
        int set = pam_set_item(pamh, PAM_AUTHTOK, response);
        if (set != PAM_SUCCESS)
            flog(LOG_WARNING, "could not set PAM_AUTHTOK: %s", pam_strerror(pamh, set));
        flog(LOG_DEBUG, "password typed, leaving it to the password check");
    }
    wipe(response, strlen(response));
    free(response);
    return alone;
}

/* The user PAM names, printable in `name`, and the agent's socket, derived
 * from the uid alone (nothing under the home folder is read); 0 when the
 * user or the socket can't be trusted. */
static int find_agent(pam_handle_t* pamh, struct passwd* entry, char* entry_buffer,
                      size_t buffer_size, char* name, char* socket_path) {
    const char* user = NULL;
    struct passwd* found = NULL;
    char folder_path[PATH_SIZE];
    if (pam_get_user(pamh, &user, NULL) != PAM_SUCCESS || user == NULL || user[0] == '\0') {
        flog(LOG_DEBUG, "no user in pam handle");
        return 0;
    }
    printable(user, name);
    if (getpwnam_r(user, entry, entry_buffer, buffer_size, &found) != 0 || !found) {
        flog(LOG_DEBUG, "unknown user %s", name);
        return 0;
    }
    snprintf(folder_path, sizeof folder_path, TARVO_RUNTIME_FOLDER_FORMAT, (unsigned)entry->pw_uid);
    snprintf(socket_path, PATH_SIZE, TARVO_SOCKET_FORMAT, (unsigned)entry->pw_uid);
    return path_is_safe(folder_path, entry->pw_uid) && path_is_safe(socket_path, entry->pw_uid);
}

/* Set for the handle when this module vouched: a stack that then succeeds
 * was opened by the face, not by a password. */
#define VOUCHED_DATA "pam_tarvo_vouched"

static void parse_options(int argc, const char** argv) {
    for (int i = 0; i < argc; i++)
        if (strcmp(argv[i], "debug") == 0) debug_enabled = 1;
}

EXPORT int pam_sm_authenticate(pam_handle_t* pamh, int flags, int argc, const char** argv) {
    (void)flags;
    parse_options(argc, argv);
    const void* typed = NULL;
    struct passwd entry;
    char entry_buffer[4096], name[NAME_SIZE];
    char socket_path[PATH_SIZE], password[PASSWORD_SIZE];

    pam_set_data(pamh, VOUCHED_DATA, NULL, NULL);
    if (pam_get_item(pamh, PAM_AUTHTOK, &typed) == PAM_SUCCESS && typed != NULL &&
        ((const char*)typed)[0] != '\0') {
        flog(LOG_DEBUG, "password typed, leaving it to the password check");
        return PAM_IGNORE;
    }
    if (!find_agent(pamh, &entry, entry_buffer, sizeof entry_buffer, name, socket_path))
        return PAM_IGNORE;
    if (geteuid() == 0 && !has_session_to_unlock(entry.pw_uid)) {
        flog(LOG_NOTICE, "%s has no session here to unlock \u2014 a face never logs in", name);
        return PAM_IGNORE;
    }
    if (scans_on_enter(pamh) && !enter_pressed(pamh)) return PAM_IGNORE;

    enum vouch verdict = ask_and_judge(name, socket_path, entry.pw_uid, password);
    int result = PAM_IGNORE;
    if (verdict == VOUCH_FACE && geteuid() != 0) {
        /* A locker running as the user: the face alone unlocks, as any
         * process of the user could end the locker anyway. */
        result = PAM_SUCCESS;
    } else if (verdict == VOUCH_FACE) {
        /* As root, the user's own processes are not to be believed: any of
         * them can listen on the user's socket. Only the password handed on
         * and checked by the module after this one decides. */
        flog(LOG_WARNING, "agent vouched without a password; as root only the password counts "
                          "\u2014 refusing");
    } else if (verdict == VOUCH_PASSWORD) {
        int set = pam_set_item(pamh, PAM_AUTHTOK, password);
        if (set != PAM_SUCCESS)
            flog(LOG_WARNING, "could not set PAM_AUTHTOK: %s", pam_strerror(pamh, set));
    }
    if (result == PAM_SUCCESS || verdict == VOUCH_PASSWORD)
        pam_set_data(pamh, VOUCHED_DATA, (void*)VOUCHED_DATA, NULL);
    wipe(password, sizeof password);
    return result;
}

/* A stack calls this only once it has authenticated the user. When that
 * was not this module's vouch (a typed password, a login), the agent hears
 * of it: only a password the stack accepted starts the password's period
 * again. The agent answers nothing; nothing here waits for it. */
EXPORT int pam_sm_setcred(pam_handle_t* pamh, int flags, int argc, const char** argv) {
    parse_options(argc, argv);
    const void* vouched = NULL;
    struct passwd entry;
    char entry_buffer[4096], name[NAME_SIZE], socket_path[PATH_SIZE];
    if (pamh == NULL || (flags & PAM_DELETE_CRED)) return PAM_IGNORE;
    if (pam_get_data(pamh, VOUCHED_DATA, &vouched) == PAM_SUCCESS && vouched != NULL)
        return PAM_IGNORE;
    if (!find_agent(pamh, &entry, entry_buffer, sizeof entry_buffer, name, socket_path))
        return PAM_IGNORE;
    int fd = ask_agent(socket_path, entry.pw_uid, TARVO_ACCEPTED "\n",
                       monotonic_ms() + TARVO_NOTE_TIMEOUT_MS);
    if (fd >= 0) {
        flog(LOG_DEBUG, "told the agent that %s was let in without a face", name);
        close(fd);
    }
    return PAM_IGNORE;
}

EXPORT int pam_sm_acct_mgmt(pam_handle_t* pamh, int flags, int argc, const char** argv) {
    (void)pamh, (void)flags, (void)argc, (void)argv;
    return PAM_IGNORE;
}
