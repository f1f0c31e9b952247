// Runs a command while it holds a device open with O_EXCL, as a burning program holds a CD drive.
#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3 || open(argv[1], O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC) < 0) {
        perror("hold_excl DEVICE COMMAND [ARG...]");
        return 125;
    }
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : 126;
}
