// Runs a program and writes its peak resident memory, in KiB, to a file.
//
//   orv-peak-rss OUTFILE PROGRAM [ARGS...]
//
// The kernel's figure for a process includes the memory of the process it
// was forked from, up to its exec. Started from this small program, the
// measured program's figure is its own; started straight from a large test
// or benchmark process, it would be the parent's. Standard input, output
// and error pass through, and so do SIGTERM, SIGINT and SIGHUP; the exit
// status is the program's (128+N when a signal ended it).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <initializer_list>

namespace {

volatile pid_t g_child = -1;

void passOn(int signal) {
    if (g_child > 0) {
        kill(g_child, signal);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::puts("usage: orv-peak-rss OUTFILE PROGRAM [ARGS...]");
        return 2;
    }
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    g_child = child;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        std::signal(signal, passOn);
    }
    int status = 0;
    rusage usage{};
    pid_t waited = -1;
    while (child > 0 && (waited = wait4(child, &status, 0, &usage)) < 0 && errno == EINTR) {
    }
    if (waited != child) {
        return 127;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (out != nullptr) {
        std::fprintf(out, "%ld\n", usage.ru_maxrss);
        std::fclose(out);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
