// A stand-in for systemd's end of its notify protocol: a datagram socket
// whose name is put in NOTIFY_SOCKET (with WATCHDOG_USEC when given) for
// the programs this test starts, collecting what they tell.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class NotifyListener {
public:
    // `watchdogMicros` 0: no watchdog. `onMessage` is called on the
    // listener's own thread with each message as it comes.
    explicit NotifyListener(long watchdogMicros = 0,
                            std::function<void(const std::string&)> onMessage = {})
        : onMessage_(std::move(onMessage)) {
        path_ = "/tmp/orv-notify-" + std::to_string(getpid());
        unlink(path_.c_str());
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        chmod(path_.c_str(), 0777);  // for a program run as another user
        setenv("NOTIFY_SOCKET", path_.c_str(), 1);
        if (watchdogMicros > 0) {
            setenv("WATCHDOG_USEC", std::to_string(watchdogMicros).c_str(), 1);
        }
        reader_ = std::thread([this] { read(); });
    }
    ~NotifyListener() {
        stop();
        close(fd_);
        unlink(path_.c_str());
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }

    // Stops listening once everything sent so far is read: after the
    // program ended, all it told.
    void stop() {
        if (reader_.joinable()) {
            done_ = true;
            reader_.join();
        }
    }

    // The STATUS= lines told so far, in order; each came with READY=1.
    std::vector<std::string> states() {
        std::vector<std::string> found;
        for (const std::string& message : messages()) {
            if (message.rfind("READY=1\nSTATUS=", 0) == 0) {
                found.push_back(message.substr(15));
            } else if (message != "WATCHDOG=1") {
                ADD_FAILURE() << "unexpected message: " << message;
            }
        }
        return found;
    }
    int pings() {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(pingNanos_.size());
    }
    // The longest the watchdog went without hearing from the program,
    // from its first message to its last ping.
    std::int64_t longestSilenceNanos() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::int64_t longest = 0;
        std::int64_t last = firstNanos_;
        for (const std::int64_t at : pingNanos_) {
            longest = std::max(longest, at - last);
            last = at;
        }
        return longest;
    }

private:
    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    void read() {
        // Also drains what came just before the program ended.
        for (bool last = false; !last;) {
            last = done_;
            pollfd in{fd_, POLLIN, 0};
            while (poll(&in, 1, last ? 0 : 20) > 0) {
                char text[512];
                const ssize_t got = recv(fd_, text, sizeof text, 0);
                if (got <= 0) {
                    break;
                }
                const std::string message(text, static_cast<std::size_t>(got));
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    timespec now{};
                    clock_gettime(CLOCK_MONOTONIC, &now);
                    const std::int64_t at = now.tv_sec * 1000000000LL + now.tv_nsec;
                    firstNanos_ = messages_.empty() ? at : firstNanos_;
                    messages_.push_back(message);
                    if (message == "WATCHDOG=1") {
                        pingNanos_.push_back(at);
                    }
                }
                if (onMessage_) {
                    onMessage_(message);
                }
            }
        }
    }

    std::string path_;
    int fd_ = -1;
    std::function<void(const std::string&)> onMessage_;
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::vector<std::string> messages_;
    std::int64_t firstNanos_ = 0;
    std::vector<std::int64_t> pingNanos_;
    std::thread reader_;
};
