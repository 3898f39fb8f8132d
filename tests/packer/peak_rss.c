/* Runs a command and prints the peak resident memory (KiB) of the largest process it ran, as
   getrusage(RUSAGE_CHILDREN) gives it once the command has exited with 0; exits 1 otherwise. A
   small program of its own, so that the command is not forked from a large test process, whose
   resident pages a forked child would count until it executes the command. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: peak_rss COMMAND [ARGUMENT...]\n");
        return 2;
    }
    pid_t child = fork();
    if (child == 0) {
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 1;
    struct rusage usage;
    if (getrusage(RUSAGE_CHILDREN, &usage) != 0)
        return 1;
    printf("%ld\n", usage.ru_maxrss);
    return 0;
}
