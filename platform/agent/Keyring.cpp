#include "platform/agent/Keyring.h"

#include <memory>
#include <optional>
#include <systemd/sd-bus.h>

namespace tarvo::platform::Keyring {
namespace {

constexpr const char* service = "org.freedesktop.secrets";
constexpr const char* servicePath = "/org/freedesktop/secrets";
constexpr std::uint64_t callTimeoutUs = 5'000'000;

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Owns the error record of one call.
struct CallError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~CallError() { sd_bus_error_free(&error); }
};

Bus sessionBus() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return nullptr;
    sd_bus_set_method_call_timeout(bus, callTimeoutUs);
    return Bus(bus);
}

// The default collection's object path; nothing when there is none or no
// service answers.
std::optional<std::string> defaultCollection(sd_bus* bus) {
    CallError error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, service, servicePath, "org.freedesktop.Secret.Service", "ReadAlias",
                           &error.error, &reply, "s", "default") < 0)
        return std::nullopt;
    Message owned(reply);
    const char* path = nullptr;
    if (sd_bus_message_read(reply, "o", &path) < 0 || !path || std::string(path) == "/")
        return std::nullopt;
    return std::string(path);
}

State stateOf(sd_bus* bus, const std::string& collection) {
    CallError error;
    int locked = 0;
    if (sd_bus_get_property_trivial(bus, service, collection.c_str(),
                                    "org.freedesktop.Secret.Collection", "Locked", &error.error,
                                    'b', &locked) < 0)
        return State::absent;
    return locked ? State::locked : State::unlocked;
}

std::optional<std::string> openPlainSession(sd_bus* bus) {
    CallError error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, service, servicePath, "org.freedesktop.Secret.Service",
                           "OpenSession", &error.error, &reply, "sv", "plain", "s", "") < 0)
        return std::nullopt;
    Message owned(reply);
    const char* session = nullptr;
    if (sd_bus_message_skip(reply, "v") < 0 || sd_bus_message_read(reply, "o", &session) < 0)
        return std::nullopt;
    return std::string(session);
}

} // namespace

State loginState() {
    Bus bus = sessionBus();
    if (!bus) return State::absent;
    auto collection = defaultCollection(bus.get());
    return collection ? stateOf(bus.get(), *collection) : State::absent;
}

Result<void> unlock(const std::string& password) {
    Bus bus = sessionBus();
    if (!bus) return fail("no session bus");
    auto collection = defaultCollection(bus.get());
    if (!collection) return fail("no default keyring");
    if (stateOf(bus.get(), *collection) == State::unlocked) return {};
    auto session = openPlainSession(bus.get());
    if (!session) return fail("the Secret Service opened no session");

    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &call, service, servicePath,
                                       "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                                       "UnlockWithMasterPassword") < 0)
        return fail("the unlock call could not be made");
    Message owned(call);
    CallError error;
    sd_bus_message* reply = nullptr;
    // Secret: (session, parameters, value, content type); "plain" sends the
    // value as it is, which is fine on the user's own bus.
    bool sent = sd_bus_message_append(call, "o", collection->c_str()) >= 0 &&
                sd_bus_message_open_container(call, 'r', "oayays") >= 0 &&
                sd_bus_message_append(call, "o", session->c_str()) >= 0 &&
                sd_bus_message_append_array(call, 'y', "", 0) >= 0 &&
                sd_bus_message_append_array(call, 'y', password.data(), password.size()) >= 0 &&
                sd_bus_message_append(call, "s", "text/plain") >= 0 &&
                sd_bus_message_close_container(call) >= 0 &&
                sd_bus_call(bus.get(), call, callTimeoutUs, &error.error, &reply) >= 0;
    Message ownedReply(reply);
    sd_bus_call_method(bus.get(), service, session->c_str(), "org.freedesktop.Secret.Session",
                       "Close", nullptr, nullptr, "");
    if (!sent)
        return fail(std::string("the keyring refused: ") +
                    (error.error.message ? error.error.message : "no reason given"));
    if (stateOf(bus.get(), *collection) != State::unlocked)
        return fail("the keyring stayed locked");
    return {};
}

} // namespace tarvo::platform::Keyring
