#pragma once

// Starts a server program for a test as a child process that cannot outlive
// the test: the kernel kills it when the thread that started it ends, however
// the test ends (a failed assertion, an abort, a crash, a kill). Start servers
// from the test's main thread, which lives as long as the test program does.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace childprocess
{

// Runs args[0] with the given arguments; `in`, `out` and `err` (-1: the
// test's own) become its standard input, output and error. The child's pid,
// or -1 when no process could be made.
inline pid_t SpawnTied(std::vector<std::string> args, int in = -1, int out = -1, int err = -1)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    // Only async-signal-safe calls from here on: the parent may have threads.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the line above took effect.
    if (::getppid() != parent)
        ::_exit(127);
    const int fds[] = { in, out, err };
    for (int target = 0; target < 3; ++target) {
        if (fds[target] >= 0 && fds[target] != target)
            ::dup2(fds[target], target);
    }
    // Nothing else of the test's goes along: a socket or pipe held open by a
    // server would keep a port taken or a reader waiting.
    ::close_range(STDERR_FILENO + 1, ~0U, 0);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

} // namespace childprocess
