/* Reading and judging the agent's reply; no logging, no PAM. */
#ifndef TARVO_PAM_REPLY_H
#define TARVO_PAM_REPLY_H

#include <stddef.h>

#define REPLY_SIZE 1032   /* at most 1031 received bytes and a terminator */
#define PASSWORD_SIZE 512 /* at most 511 password bytes and a terminator */

/* Milliseconds on the monotonic clock, for deadlines. */
long long monotonic_ms(void);

/* Reads one line from fd into buffer (REPLY_SIZE bytes), replacing the line
 * feed with a terminator. Returns the line's length (0 for an empty line),
 * or -1 when the deadline (monotonic_ms) passes, on error, or when the
 * stream ends or the buffer fills before a line feed. */
int read_line_before(int fd, char* buffer, long long deadline);

/* Decodes pairs of hex digits into out (PASSWORD_SIZE bytes), terminated.
 * Returns 1 on success, 0 for an odd length, more than 1022 characters, a
 * pair that is not two hex digits, or a decoded NUL byte (the password
 * would be cut short). */
int hex_decode(const char* text, char* out);

enum vouch {
    VOUCH_NONE,    /* a refusal, or a reply that isn't well formed */
    VOUCH_FACE,    /* exactly "OK" (or "OK " with no digits): the face alone */
    VOUCH_PASSWORD /* "OK " and valid hex: out holds the password */
};

/* What a reply vouches for. Only the two exact forms count: anything else
 * beginning with "OK" is a refusal, so a garbled reply never unlocks. out
 * (PASSWORD_SIZE bytes) is emptied unless a password is returned. */
enum vouch reply_vouch(const char* reply, char* out);

/* Clears a secret; the compiler may not remove the call. */
void wipe(void* secret, size_t size);

#endif
