// Runs one command against a sandbox started in this process: the sandbox's ports are passed in
// TYX_RELAY_PORT, TYX_CENTER_PORT and TYX_DB_PORT, and the command's exit status is returned.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sandbox.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COMMAND [ARGS...]\n", argv[0]);
        return 2;
    }
    tyx::sandbox::Sandbox sandbox;
    setenv("TYX_HOST", "127.0.0.1", 1);
    setenv("TYX_RELAY_PORT", std::to_string(sandbox.relay_port()).c_str(), 1);
    setenv("TYX_CENTER_PORT", std::to_string(sandbox.center_port()).c_str(), 1);
    setenv("TYX_DB_PORT", std::to_string(sandbox.database_port()).c_str(), 1);
    const pid_t child = fork();
    if (child == 0) {
        execv(argv[1], argv + 1);
        std::perror("execv");
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) < 0) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
