// The recipes for triggers from other programs, with programs Debian ships:
// a UDP datagram through socat, and an MQTT message through mosquitto_sub
// (from a broker of the test's own, on a port of its own). Each is skipped
// where its programs are missing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "player_fixture.h"

namespace {

const std::vector<std::string> kTwoPasses = {"-b", "115200", "-f", "show.txt", "-d",
                                             "0",  "-w",     "-",  "-r",       "2"};

bool installed(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// A program of the recipe, started with its standard output into a pipe
// (the player's standard input) and ended when the test is over.
struct Program {
    pid_t pid = -1;
    int output = -1;  // the read end
    explicit Program(std::vector<std::string> argv) {
        int ends[2];
        EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<char*> args;
        for (std::string& word : argv) {
            args.push_back(word.data());
        }
        args.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        output = ends[0];
    }
    ~Program() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        close(output);
    }
};

// A local port that nothing listens on now.
int freePort(int type) {
    const int probe = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

// Plays two passes, each started by `trigger` once the player waits (and,
// for the second, once the first pass has arrived).
RunResult twoTriggeredPasses(VirtualSerial& device, int input,
                             const std::function<void()>& trigger) {
    RunOptions options;
    options.stdinFrom = input;
    options.expectBytes = 6;
    std::thread first([&trigger] {
        std::this_thread::sleep_for(std::chrono::milliseconds(emulator().empty() ? 1000 : 4000));
        trigger();
    });
    options.onReceived = [&trigger](const Arrival&, std::size_t received) {
        if (received == 3) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            trigger();
        }
    };
    std::vector<std::string> args = kTwoPasses;
    args.insert(args.begin(), kPlayer);
    options.launcher = emulator();
    RunResult result = runAgainst(args, &device, options);
    first.join();
    EXPECT_EQ(result.err, "");
    return result;
}

TEST_F(Player, UdpDatagramThroughSocatStartsAPass) {
    if (!installed("/usr/bin/socat")) {
        GTEST_SKIP() << "socat is not installed";
    }
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:GO\n");
    const int port = freePort(SOCK_DGRAM);
    // The recipe: socat -u UDP4-RECV:5005,bind=127.0.0.1 STDOUT | orvplayer ... -w -
    Program socat({"/usr/bin/socat", "-u", "UDP4-RECV:" + std::to_string(port) + ",bind=127.0.0.1",
                   "STDOUT"});
    const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    RunResult result = twoTriggeredPasses(device, socat.output, [&] {
        sendto(sender, "go\n", 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    });
    close(sender);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "GO\nGO\n");
}

TEST_F(Player, MqttMessageThroughMosquittoSubStartsAPass) {
    const std::string broker = "/usr/sbin/mosquitto";
    if (!installed(broker) || !installed("/usr/bin/mosquitto_sub") ||
        !installed("/usr/bin/mosquitto_pub")) {
        GTEST_SKIP() << "mosquitto and mosquitto-clients are not installed";
    }
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:GO\n");
    const std::string port = std::to_string(freePort(SOCK_STREAM));
    const std::string config = kUploadDir + "mosquitto.conf";
    std::ofstream(config) << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
    Program server({broker, "-c", config});
    // The broker listens once mosquitto_pub can reach it.
    for (int i = 0; i < 100; ++i) {
        const pid_t probe = fork();
        if (probe == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl("/usr/bin/mosquitto_pub", "mosquitto_pub", "-h", "127.0.0.1", "-p", port.c_str(),
                  "-t", "warm-up", "-m", "x", nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(probe, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The recipe: mosquitto_sub -t show/go | orvplayer ... -w -
    Program subscriber({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", port, "-t", "show/go"});
    RunResult result = twoTriggeredPasses(device, subscriber.output, [&port] {
        const pid_t publisher = fork();
        if (publisher == 0) {
            execl("/usr/bin/mosquitto_pub", "mosquitto_pub", "-h", "127.0.0.1", "-p", port.c_str(),
                  "-t", "show/go", "-m", "go", nullptr);
            _exit(127);
        }
        waitpid(publisher, nullptr, 0);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "GO\nGO\n");
}

}  // namespace
