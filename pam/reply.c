#define _GNU_SOURCE
#include "reply.h"

#include "protocol/agent_protocol.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

long long monotonic_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Waits for input until the deadline; 1 when readable. */
static int wait_readable(int fd, long long deadline) {
    for (;;) {
        long long left = deadline - monotonic_ms();
        if (left <= 0) return 0;
        struct pollfd waiter = {.fd = fd, .events = POLLIN};
        int ready = poll(&waiter, 1, (int)left);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
}

int read_line_before(int fd, char* buffer, long long deadline) {
    /* One deadline for the whole reply: a peer that trickles bytes must not
     * hold the lock screen longer than one that sends nothing. */
    size_t n = 0;
    buffer[0] = '\0';
    while (n < REPLY_SIZE - 1) {
        if (!wait_readable(fd, deadline)) return -1;
        ssize_t got = read(fd, buffer + n, REPLY_SIZE - 1 - n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        n += (size_t)got;
        buffer[n] = '\0';
        char* feed = memchr(buffer, '\n', n);
        if (feed != NULL) {
            *feed = '\0';
            return (int)(feed - buffer);
        }
    }
    /* Cut off before its line feed: not a whole reply, so never a vouch. */
    buffer[n] = '\0';
    return -1;
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int hex_decode(const char* text, char* out) {
    size_t len = strnlen(text, REPLY_SIZE);
    if (len % 2 != 0 || len > 2 * (PASSWORD_SIZE - 1)) return 0;
    for (size_t i = 0; i < len / 2; i++) {
        int high = hex_digit(text[2 * i]);
        int low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0 || (high | low) == 0) {
            wipe(out, PASSWORD_SIZE);
            return 0;
        }
        out[i] = (char)(high << 4 | low);
    }
    out[len / 2] = '\0';
    return 1;
}

enum vouch reply_vouch(const char* reply, char* out) {
    wipe(out, PASSWORD_SIZE);
    if (strcmp(reply, TARVO_OK) == 0) return VOUCH_FACE;
    if (strncmp(reply, TARVO_OK " ", 3) != 0 || !hex_decode(reply + 3, out)) return VOUCH_NONE;
    return out[0] == '\0' ? VOUCH_FACE : VOUCH_PASSWORD;
}

void wipe(void* secret, size_t size) {
    explicit_bzero(secret, size);
}
