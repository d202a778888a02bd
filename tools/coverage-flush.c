/* Coverage builds only: a program ended by SIGTERM or SIGINT writes its gcov counters first. */
#include <signal.h>

extern void __gcov_dump(void);

static void flushAndDie(int signal_number)
{
    __gcov_dump();
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

__attribute__((constructor)) static void installFlush(void)
{
    signal(SIGTERM, flushAndDie);
    signal(SIGINT, flushAndDie);
}
