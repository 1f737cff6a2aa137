// The agent's stand-in for the desktops' lock screen test: listens on
// SOCKET as UID and answers each VERIFY with the first line of REPLIES,
// which it then drops unless it is the last; each request is logged to
// LOG, a line each. ACCEPTED (the stack let the user in without a face) is
// answered as the agent does. It serves until it is killed, so the module
// never finds the socket missing.
//   stand-in-agent UID SOCKET REPLIES LOG
#include "protocol/agent_protocol.h"
#include "sandbox/ScriptedAgent.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

// The first line; the rest written back whole, unless it was the last.
std::string takeReply(const fs::path& replies) {
    std::ifstream in(replies);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    if (lines.empty()) return TARVO_NOT_SEEN;
    if (lines.size() > 1) {
        auto rest = replies.string() + ".new";
        std::ofstream out(rest);
        for (size_t i = 1; i < lines.size(); ++i)
            out << lines[i] << '\n';
        out.close();
        std::error_code ignored; // a reply repeated is a failure the test names
        fs::rename(rest, replies, ignored);
    }
    return lines[0];
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: stand-in-agent UID SOCKET REPLIES LOG\n");
        return 2;
    }
    char* end = nullptr;
    const auto uid = static_cast<uid_t>(std::strtoul(argv[1], &end, 10));
    if (end == argv[1] || *end != '\0') {
        std::fprintf(stderr, "stand-in-agent: UID is a number, not '%s'\n", argv[1]);
        return 2;
    }
    const fs::path socket = argv[2], replies = argv[3];
    std::ofstream log(argv[4], std::ios::app);
    // The folder as the agent makes it: the user's, no one else's.
    fs::create_directories(socket.parent_path());
    if (::chown(socket.parent_path().c_str(), uid, uid) != 0 ||
        ::chmod(socket.parent_path().c_str(), 0700) != 0) {
        std::perror("stand-in-agent: the socket's folder");
        return 1;
    }
    using tarvo::sandbox::ScriptedAgent;
    ScriptedAgent agent(socket, uid, [&](const std::string& request) {
        const auto line = trimmed(request);
        log << line << std::endl;
        const bool accepted = line == TARVO_ACCEPTED;
        return ScriptedAgent::Script{(accepted ? TARVO_NOTED : takeReply(replies)) + "\n"};
    });
    for (;;)
        pause();
}
