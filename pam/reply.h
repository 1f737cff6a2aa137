/* Reading and decoding the agent's reply; no logging, no PAM. */
#ifndef TARVO_PAM_REPLY_H
#define TARVO_PAM_REPLY_H

#include <stddef.h>

#define REPLY_SIZE 1032   /* at most 1031 received bytes and a terminator */
#define PASSWORD_SIZE 512 /* at most 511 password bytes and a terminator */
#define REPLY_TIMEOUT_MS 5000

/* Reads one line from fd into buffer (REPLY_SIZE bytes), replacing the line
 * feed with a terminator. Returns the line's length, or -1 on timeout, error,
 * end of stream before any byte, or a full buffer without a line feed; 0 for
 * an empty line. The whole reply must arrive within REPLY_TIMEOUT_MS. */
int read_line_with_timeout(int fd, char* buffer);

/* Decodes pairs of hex digits into out (PASSWORD_SIZE bytes), terminated.
 * Returns 1 on success, 0 for an odd length, more than 1022 characters or a
 * pair that is not two hex digits. */
int hex_decode(const char* text, char* out);

/* The password that a reply beginning with "OK" carries: "OK " and valid
 * hex. Anything else leaves out empty. */
void reply_password(const char* reply, char* out);

/* Clears a secret; the compiler may not remove the call. */
void wipe(void* secret, size_t size);

#endif
