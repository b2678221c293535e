#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Reads what the child printed until `want` appears, the pipe closes or 20 s pass.
bool readUntil(int fd, std::string& out, const std::string& want) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (out.find(want) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out.find(want) != std::string::npos;
}

TEST(TaviskSim, ServesTheBeaconOnThePrintedPathAndStopsOnCtrlC) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char program[] = TAVISK_SIM_PATH;
    char* argv[] = {program, nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);

    std::string printed;
    ASSERT_TRUE(readUntil(out[0], printed, "dialog.")) << printed;
    const std::string key = "TAVISK_SERIAL_PORTS=";
    const auto at = printed.find(key);
    ASSERT_NE(at, std::string::npos) << printed;
    const std::string path = printed.substr(at + key.size(), printed.find(' ', at) - at - key.size());
    EXPECT_NE(printed.find("TAVISK_SERIAL_PORTS=" + path + " ./scripts/run\n"), std::string::npos) << printed;

    const int port = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(port, 0) << path;
    termios tio{};
    tcgetattr(port, &tio);
    cfmakeraw(&tio);
    tcsetattr(port, TCSANOW, &tio);
    const unsigned char search[] = {0x7E, 0x02, 0x01, 0xFF, 0x01, 0x74};
    ASSERT_EQ(::write(port, search, sizeof search), 6);
    std::vector<unsigned char> answer;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (answer.size() < 79 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{port, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        unsigned char buf[128];
        const ssize_t n = ::read(port, buf, sizeof buf);
        if (n <= 0)
            break;
        answer.insert(answer.end(), buf, buf + n);
    }
    ASSERT_EQ(answer.size(), 79u) << "a device record: 76 payload bytes in a frame";
    EXPECT_EQ(answer[0], 0x7E);
    EXPECT_EQ(answer[2], 0x01) << "pack number";
    EXPECT_EQ(answer[3], 0x05) << "address";
    ::close(port);

    EXPECT_TRUE(readUntil(out[0], printed, "rx device info to device 255, pack #1")) << printed;
    ASSERT_EQ(kill(pid, SIGINT), 0);
    EXPECT_TRUE(readUntil(out[0], printed, "Stopped")) << printed;
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::close(out[0]);
}

// Asked for help it answers on standard output; a wrong argument is refused on standard error.
TEST(TaviskSim, HelpOnStandardOutputAndWrongArgumentsOnStandardError) {
    const struct {
        std::vector<std::string> args;
        int status;
        bool onOutput;
        std::string start; // of what it prints
    } cases[] = {
        {{"--help"}, 0, true, "usage: "},
        {{"-h"}, 0, true, "usage: "},
        {{"--bogus"}, 2, false, "usage: "},
        {{"--baud", "fast"}, 2, false, "tavisk-sim: not a baud rate: fast"},
    };
    for (const auto& c : cases) {
        int out[2];
        int err[2];
        ASSERT_EQ(pipe(out), 0);
        ASSERT_EQ(pipe(err), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> words = {TAVISK_SIM_PATH};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, TAVISK_SIM_PATH, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        std::string printed;
        std::string complained;
        readUntil(out[0], printed, "\x01"); // to the end of the pipe
        readUntil(err[0], complained, "\x01");
        ::close(out[0]);
        ::close(err[0]);
        const std::string name = c.args.front();
        ASSERT_TRUE(WIFEXITED(status)) << name;
        EXPECT_EQ(WEXITSTATUS(status), c.status) << name;
        EXPECT_EQ((c.onOutput ? printed : complained).find(c.start), 0u) << name;
        EXPECT_EQ(c.onOutput ? complained : printed, "") << name;
    }
}

} // namespace
