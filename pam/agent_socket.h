/* Where a user's agent listens: shared by the module (C) and the agent, so
 * both derive the same path from nothing but the user id. The folder lives
 * in the user's runtime directory, which root can reach even when it can't
 * read the user's home (root-squashed network homes). */
#ifndef TARVO_AGENT_SOCKET_H
#define TARVO_AGENT_SOCKET_H

#define TARVO_RUNTIME_FOLDER_FORMAT "/run/user/%u/tarvo"
#define TARVO_SOCKET_NAME "agent.sock"
#define TARVO_SOCKET_FORMAT TARVO_RUNTIME_FOLDER_FORMAT "/" TARVO_SOCKET_NAME

#endif
