#pragma once

#include "core/base/UniqueFd.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tarvo::sandbox {

// Listens on a path as the agent does, as `owner`, and answers each
// connection as scripted: the module's peer without a face engine. The
// module's tests script one answer for every request; the desktops' lock
// screen test (stand-in-agent) takes each from a file.
class ScriptedAgent {
  public:
    struct Script {
        std::optional<std::string> reply;  // sent as it stands; none: nothing is sent
        std::chrono::milliseconds hold{0}; // then the connection stays open this long
    };
    using Answer = std::function<Script(const std::string& request)>;

    // `listener`: whom the kernel records as listening, when not `owner`.
    ScriptedAgent(const std::filesystem::path& path, uid_t owner, Script script,
                  std::optional<uid_t> listener = std::nullopt);
    ScriptedAgent(const std::filesystem::path& path, uid_t owner, Answer answer,
                  std::optional<uid_t> listener = std::nullopt);
    ~ScriptedAgent();
    ScriptedAgent(const ScriptedAgent&) = delete;
    ScriptedAgent& operator=(const ScriptedAgent&) = delete;

    // What the module sent first; empty if it never came. Stops listening.
    std::string request();
    // Everything it sent, a connection each. Stops listening.
    std::vector<std::string> requests();

  private:
    void finish();
    void serve(const Answer& answer);

    UniqueFd listener_;
    std::thread thread_;
    std::vector<std::string> requests_;
};

} // namespace tarvo::sandbox
