/* The PAM module's side of the trust boundary: whatever arrives on the
 * socket is read as a reply line and, if it vouches, decoded. */
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
    int length = read_line_with_timeout(pair[0], reply);
    close(pair[0]);
    if (length > 0 && strncmp(reply, "OK", 2) == 0) {
        reply_password(reply, password);
        if (strlen(password) > PASSWORD_SIZE - 1) __builtin_trap();
    }
    /* And the decoder on its own, on text of any length. */
    char text[4097];
    memcpy(text, data, size);
    text[size] = '\0';
    hex_decode(text, password);
    return 0;
}
