/* Preloaded into the processes of a sanitizer test run: in kivd, which ends on SIGTERM without
 * running exit handlers, SIGTERM first runs LeakSanitizer's check (a leak ends the process with
 * LeakSanitizer's report and exit code), then ends the process by SIGTERM as before. */
#define _GNU_SOURCE
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

extern void __lsan_do_leak_check(void) __attribute__((weak));

static int wakeUp[2];

static void onTerm(int sig)
{
    (void)sig;
    const char byte = 0;
    if (write(wakeUp[1], &byte, 1) != 1)
        _exit(128 + SIGTERM);
}

static void *leakCheck(void *unused)
{
    char byte;
    (void)unused;
    while (read(wakeUp[0], &byte, 1) != 1) {
    }
    __lsan_do_leak_check();
    signal(SIGTERM, SIG_DFL);
    raise(SIGTERM);
    return NULL;
}

__attribute__((constructor)) static void install(void)
{
    char exe[4096];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0 || !__lsan_do_leak_check)
        return;
    exe[length] = '\0';
    const char *base = strrchr(exe, '/');
    if (strcmp(base ? base + 1 : exe, "kivd") != 0)
        return;
    pthread_t thread;
    if (pipe(wakeUp) != 0 || pthread_create(&thread, NULL, leakCheck, NULL) != 0)
        return;
    signal(SIGTERM, onTerm);
}
