#pragma once

#include <sys/types.h>

#include <string>

namespace tavisk::test {

// A D-Bus session bus of the caller's own (dbus-daemon), through which the program and the
// test find the accessibility bus: the bus starts that bus and its registry on demand. It
// runs with HOME, XDG_RUNTIME_DIR and XDG_CACHE_HOME in `folder` and DISPLAY set to
// `display`, so that the accessibility bus's socket is private too; it and every service it
// started run in a process group of their own, ended with it.
class SessionBus {
public:
    SessionBus(const std::string& folder, const std::string& display);
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // The bus's address for DBUS_SESSION_BUS_ADDRESS; empty when it did not start.
    const std::string& address() const { return busAddress; }

private:
    std::string busAddress;
    pid_t daemon = -1;
};

} // namespace tavisk::test
