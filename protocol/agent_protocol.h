/* The agent's socket protocol, shared by the PAM module (C) and the agent
 * (C++) so that neither side spells a word or a limit of its own. A client
 * connects, writes one request line and reads one reply line.
 *
 *   VERIFY    -> "OK <hex password>" to root (a display manager's lock
 *                screen), "OK" to the user's own locker, "NO not-seen",
 *                or "NO busy" when the agent can't take another client
 *   anything else -> "NO bad-request"; a peer neither root nor the agent's
 *                user gets "NO wrong-user" whatever it asked
 *   STATUS    -> "SCANNING" or "IDLE"
 *   ACCEPTED  -> "NOTED": the lock screen's stack took a typed password
 *
 * Both sides derive the socket's path from nothing but the user id. The
 * folder lives in the user's runtime directory, which root can reach even
 * when it can't read the user's home (root-squashed network homes). */
#ifndef TARVO_AGENT_PROTOCOL_H
#define TARVO_AGENT_PROTOCOL_H

#define TARVO_RUNTIME_FOLDER_FORMAT "/run/user/%u/tarvo"
#define TARVO_SOCKET_NAME "agent.sock"
#define TARVO_SOCKET_FORMAT TARVO_RUNTIME_FOLDER_FORMAT "/" TARVO_SOCKET_NAME

#define TARVO_VERIFY "VERIFY"
#define TARVO_STATUS "STATUS"
#define TARVO_ACCEPTED "ACCEPTED"

#define TARVO_OK "OK"
#define TARVO_NOT_SEEN "NO not-seen"
#define TARVO_BUSY "NO busy"
#define TARVO_PEER_UNKNOWN "NO peer-unknown" /* the peer's credentials couldn't be read */
#define TARVO_WRONG_USER "NO wrong-user"     /* neither root nor the agent's user */
#define TARVO_BAD_REQUEST "NO bad-request"
#define TARVO_SCANNING "SCANNING"
#define TARVO_IDLE "IDLE"
#define TARVO_NOTED "NOTED"

/* How long the module waits for VERIFY's reply; the agent's scan must end
 * well within it (the agent checks this when it is compiled). */
#define TARVO_REPLY_TIMEOUT_MS 5000
/* How long telling the agent of an accepted password may hold up a stack. */
#define TARVO_NOTE_TIMEOUT_MS 500

#endif
