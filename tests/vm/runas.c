// Runs a command as the desktop user of the guest: uid and gid 1000, in group cdrom (24), with
// the user's home, as a login would. busybox su would need a set-uid busybox.
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: runas COMMAND [ARG...]\n");
        return 2;
    }
    const gid_t groups[] = {1000, 24};
    if (setgroups(2, groups) != 0 || setgid(1000) != 0 || setuid(1000) != 0) {
        perror("runas");
        return 1;
    }
    setenv("HOME", "/home/user", 1);
    setenv("USER", "user", 1);
    setenv("LOGNAME", "user", 1);
    setenv("XDG_CONFIG_HOME", "/home/user/.config", 1);
    if (chdir("/home/user") != 0) {
        perror("/home/user");
    }
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
