// Holds a device open with O_EXCL until killed, as a burning program holds a CD drive.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: hold_excl DEVICE\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY | O_NONBLOCK | O_EXCL);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    printf("holding %s\n", argv[1]);
    fflush(stdout);
    for (;;) {
        pause();
    }
}
