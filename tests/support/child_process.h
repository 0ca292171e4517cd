// A child program for the Linux tests that drive a program written elsewhere: started with its arguments
// (found on PATH), its output into a file, and always ended and reaped, by the destructor at the latest,
// so a failing test leaves nothing running. The child is killed too when the thread that started it ends
// (the test program killed by a time-out, say).
#pragma once

#if defined(__linux__)

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "wait.h"

namespace testing_support {

// The full path of program `name` on PATH; empty when it is on none of its folders.
inline std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(SIGKILL, milliseconds(0)); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with the arguments that follow; its standard output and error go to file `output`
    // (created anew; the null device when empty), its input is the null device. False when the program
    // is not found or cannot be started, or a child of this object still runs.
    bool Start(const std::vector<std::string>& argv, const std::string& output = {}) {
        if (pid_ > 0 || argv.empty()) {
            return false;
        }
        const std::string program = FindOnPath(argv[0]);
        if (program.empty()) {
            return false;
        }
        // Everything the child needs is made before the fork: after it only async-signal-safe calls.
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        const std::string out = output.empty() ? "/dev/null" : output;
        // The child writes one byte into this pipe when it cannot run the program; a successful exec
        // closes it, so Start returns once the program runs (with only the descriptors given to it).
        int status[2];
        if (pipe2(status, O_CLOEXEC) != 0) {
            return false;
        }
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid < 0) {
            close(status[0]);
            close(status[1]);
            return false;
        }
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(127);  // the parent ended before the line above took effect
            }
            const int in = open("/dev/null", O_RDONLY);
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            // Nothing else of this process goes with the program (the test's sockets above all).
            if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
                for (int other = 3; other < 65536; ++other) {
                    fcntl(other, F_SETFD, FD_CLOEXEC);
                }
            }
            if (in >= 0 && fd >= 0 && dup2(in, 0) >= 0 && dup2(fd, 1) >= 0 && dup2(fd, 2) >= 0) {
                execv(program.c_str(), args.data());
            }
            const char failed = 1;
            (void)!write(status[1], &failed, 1);
            _exit(127);
        }
        close(status[1]);
        char failed = 0;
        ssize_t got = 0;
        while ((got = read(status[0], &failed, 1)) < 0 && errno == EINTR) {
        }
        close(status[0]);
        pid_ = pid;
        status_ = -1;
        if (got != 0) {
            Stop(SIGKILL, milliseconds(0));
            return false;
        }
        return true;
    }

    // The child's process id; 0 when none runs.
    [[nodiscard]] pid_t Pid() const { return pid_; }

    // Whether the child still runs (one that has ended is reaped).
    bool Running() { return pid_ > 0 && !Reap(); }

    // Waits up to `timeout` for the child to end by itself, then kills it. Its exit code (128 + the
    // signal when a signal ended it); -1 when there was no child.
    int Wait(milliseconds timeout) {
        (void)WaitUntil([this] { return !Running(); }, timeout);
        return Stop(SIGKILL, milliseconds(0));
    }

    // Sends `sig` and waits up to `grace` for the end; a child still running then is killed. Always
    // reaps it. The exit code as Wait gives it.
    int Stop(int sig = SIGTERM, milliseconds grace = milliseconds(10000)) {
        if (pid_ > 0 && !Reap()) {
            kill(pid_, sig);
            if (!WaitUntil([this] { return Reap(); }, grace)) {
                kill(pid_, SIGKILL);
                int status = 0;
                while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
                }
                Record(status);
            }
        }
        pid_ = 0;
        return status_;
    }

private:
    // True when the child has ended (and is reaped now).
    bool Reap() {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            Record(status);
            return true;
        }
        if (r < 0) {  // no such child any more
            pid_ = 0;
        }
        return r < 0;
    }
    void Record(int status) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
        pid_ = 0;
    }

    pid_t pid_ = 0;
    int status_ = -1;
};

// Runs `argv` to its end, killed after `timeout`; its exit code as ChildProcess::Wait gives it.
inline int RunProgram(const std::vector<std::string>& argv, milliseconds timeout = milliseconds(30000)) {
    ChildProcess child;
    return child.Start(argv) ? child.Wait(timeout) : -1;
}

}  // namespace testing_support

#endif
