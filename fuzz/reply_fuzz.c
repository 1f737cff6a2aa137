/* The PAM module's side of the trust boundary: whatever arrives on the
 * socket is read as a reply line and, if it vouches, decoded. */
#include "protocol/agent_protocol.h"
#include "reply.h"

#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
    if (write(pair[1], data, size) != (ssize_t)size) size = 0;
    close(pair[1]);
    char reply[REPLY_SIZE], password[PASSWORD_SIZE];
    int length = read_line_before(pair[0], reply, monotonic_ms() + TARVO_REPLY_TIMEOUT_MS);
    close(pair[0]);
    if (length > 0) {
        enum vouch verdict = reply_vouch(reply, password);
        if (strlen(password) > PASSWORD_SIZE - 1) __builtin_trap();
        /* Only the two exact forms may vouch. */
        if (verdict == VOUCH_FACE && strcmp(reply, "OK") != 0 && strcmp(reply, "OK ") != 0)
            __builtin_trap();
        if (verdict == VOUCH_PASSWORD && (strncmp(reply, "OK ", 3) != 0 || password[0] == '\0'))
            __builtin_trap();
    }
    /* And the decoder on its own, on text of any length. */
    char text[4097];
    memcpy(text, data, size);
    text[size] = '\0';
    hex_decode(text, password);
    return 0;
}
