// Producer/consumer run of the supplicant's message queue for ThreadSanitizer. Plain main(): the
// Qt Test runner's own watchdog thread synchronises through Qt code the checker cannot see.
// The main thread produces commands mixed with state messages; the worker consumes them with
// blocking and deadline dequeues, flushes state messages and defers and requeues commands,
// and checks that every command arrives once and in order.
#include "SupplicantMessageQueue.h"
#include "SupplicantMessages.h"

#include <cstdio>
#include <thread>

using namespace SupplicantMessage;

int main()
{
    registerTypes();
    SupplicantMessageQueue queue;
    const int commands = 3000;
    int failures = 0;

    std::thread worker([&] {
        bool putAside = false;
        for (int expected = 0, round = 1; expected < commands; ++round) {
            const QVariant message = round % 2 ? queue.dequeue() : queue.dequeue(SupplicantMessageQueue::monotonicMs() + 60000);
            failures += message.isValid() ? 0 : 1;
            if (!message.isValid() || isStateMessage(message))
                continue;
            const int number = message.value<StartWpsPin>().pin.toInt();
            if (number != expected) {
                std::fprintf(stderr, "expected command %d, got %d\n", expected, number);
                ++failures;
                return;
            }
            if (round % 7 == 0)
                queue.removeStateMessages();
            // Every tenth is put aside and taken back: it must be the next one out again.
            putAside = number % 10 == 0 && !putAside;
            if (putAside) {
                queue.defer(message);
                queue.requeueDeferred();
                continue;
            }
            ++expected;
            if (queue.isPending() && round % 5 == 0)
                std::this_thread::yield();
        }
    });

    for (int i = 0; i < commands; ++i) {
        if (i % 3 == 0)
            queue.enqueue(make<Connected>());
        queue.enqueue(make(StartWpsPin{QString::number(i)}));
        if (i % 250 == 0)
            std::this_thread::yield();
    }
    worker.join();
    queue.removeStateMessages();
    const bool left = queue.isPending();
    std::printf("%s: %d commands, %d failures%s\n", failures || left ? "FAIL" : "PASS", commands, failures, left ? ", commands left" : "");
    return failures || left ? 1 : 0;
}
