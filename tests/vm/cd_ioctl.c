// Sends one CD-ROM ioctl to a device and prints the result, to tell the driver's answers apart
// from what bayminder-drives makes of them.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/cdrom.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: cd_ioctl DEVICE eject|unlock|close|status\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        printf("open: %s\n", strerror(errno));
        return 1;
    }
    int r;
    if (strcmp(argv[2], "eject") == 0) {
        r = ioctl(fd, CDROMEJECT, 0);
    } else if (strcmp(argv[2], "unlock") == 0) {
        r = ioctl(fd, CDROM_LOCKDOOR, 0);
    } else if (strcmp(argv[2], "close") == 0) {
        r = ioctl(fd, CDROMCLOSETRAY, 0);
    } else {
        r = ioctl(fd, CDROM_DRIVE_STATUS, CDSL_CURRENT);
    }
    printf("%s => %d %s\n", argv[2], r, r < 0 ? strerror(errno) : "");
    close(fd);
    return 0;
}
