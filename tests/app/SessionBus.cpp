#include "tests/app/SessionBus.h"

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavisk::test {

SessionBus::SessionBus(const std::string& folder, const std::string& display) {
    const std::string runtime = folder + "/runtime";
    ::mkdir(runtime.c_str(), 0700);
    int addressPipe[2];
    if (::pipe(addressPipe) != 0)
        return;
    const std::string fd = "--print-address=" + std::to_string(addressPipe[1]);
    const std::string listen = "--address=unix:tmpdir=" + folder;
    daemon = ::fork();
    if (daemon == 0) {
        ::close(addressPipe[0]);
        ::setpgid(0, 0);
        ::setenv("HOME", folder.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (folder + "/cache").c_str(), 1);
        ::setenv("DISPLAY", display.c_str(), 1);
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::unsetenv("AT_SPI_BUS_ADDRESS");
        ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", fd.c_str(), listen.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(addressPipe[1]);
    if (daemon < 0) {
        ::close(addressPipe[0]);
        return;
    }
    ::setpgid(daemon, daemon); // also here: the child may not have run yet
    std::string address;
    char c = 0;
    while (::read(addressPipe[0], &c, 1) == 1 && c != '\n')
        address += c;
    ::close(addressPipe[0]);
    busAddress = address;
}

SessionBus::~SessionBus() {
    if (daemon <= 0)
        return;
    // The accessibility bus, its launcher and its registry were started by the daemon, in its
    // process group.
    ::kill(-daemon, SIGTERM);
    ::waitpid(daemon, nullptr, 0);
}

} // namespace tavisk::test
