// A program run as a child process whose standard output (and standard error)
// the caller reads line by line: Korvanth serving its live view, for the tests
// and the live view's latency measurement.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tarvex_test {

struct ChildProcess {
    pid_t pid = -1;
    std::FILE* output = nullptr;  // the child's standard output and standard error

    // Starts `args` (the program's path first).
    explicit ChildProcess(std::vector<std::string> args) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(pipeFds[1], 1);
            ::dup2(pipeFds[1], 2);
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        output = fdopen(pipeFds[0], "r");
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { end(SIGKILL); }

    // The next line of output, false at its end.
    bool readLine(std::string& line) {
        char buffer[4096];
        if (output == nullptr || std::fgets(buffer, sizeof buffer, output) == nullptr) return false;
        line = buffer;
        return true;
    }

    // Sends `signal` and waits for the child: its exit code, or -1 when a signal ended it.
    int end(int signal) {
        int code = -1;
        if (pid > 0) {
            ::kill(pid, signal);
            int status = 0;
            ::waitpid(pid, &status, 0);
            code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid = -1;
        }
        if (output != nullptr) std::fclose(output);
        output = nullptr;
        return code;
    }
};

}  // namespace tarvex_test
