// Runs a command while it holds a device open with O_EXCL, as a burning program holds a CD drive.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
    // Not O_CLOEXEC: the command inherits the exclusive open and holds it until it ends.
    if (argc < 3 || open(argv[1], O_RDONLY | O_NONBLOCK | O_EXCL) < 0) {
        perror("hold_excl DEVICE COMMAND [ARG...]");
        return 125;
    }
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    return 127;
}
