#include "TavuStacktrace.h"

#include "LogHandler.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tavuStacktrace {

namespace {

constexpr int CrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int MaxFrames = 64;
constexpr std::size_t LineCapacity = 512;

// The handler runs on its own stack so that a stack overflow can still be reported.
alignas(16) char alternateStack[64 * 1024];
void *frames[MaxFrames];
long utcOffsetSeconds = 0;
volatile sig_atomic_t crashing = 0;

// Appends text and numbers to a fixed buffer; everything here is safe inside a signal handler.
class LineWriter
{
public:
    LineWriter(char *buffer, std::size_t size) : m_buffer(buffer), m_size(size) {}

    void text(const char *value)
    {
        for (; *value; ++value)
            put(*value);
    }

    void number(unsigned long value, int minimumDigits = 1)
    {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value > 0 && count < int(sizeof digits));
        while (count < minimumDigits && count < int(sizeof digits))
            digits[count++] = '0';
        while (count > 0)
            put(digits[--count]);
    }

    void signedNumber(long value, int minimumDigits = 1)
    {
        if (value < 0) {
            put('-');
            number(0ul - static_cast<unsigned long>(value), minimumDigits);
        } else {
            number(static_cast<unsigned long>(value), minimumDigits);
        }
    }

    void hex(std::uintptr_t value)
    {
        text("0x");
        char digits[2 * sizeof value];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value > 0);
        while (count > 0)
            put(digits[--count]);
    }

    bool fits() const { return m_length <= m_size; }
    // What was kept; a line longer than the buffer is cut.
    std::size_t length() const { return fits() ? m_length : m_size; }

private:
    void put(char c)
    {
        if (m_length < m_size)
            m_buffer[m_length] = c;
        ++m_length;
    }

    char *m_buffer;
    std::size_t m_size;
    std::size_t m_length = 0;
};

struct CivilDate
{
    long year;
    unsigned month;
    unsigned day;
};

// Proleptic Gregorian date of a day counted from 1970-01-01.
CivilDate civilFromDays(long days)
{
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned long dayOfEra = static_cast<unsigned long>(days - era * 146097);
    const unsigned long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned long monthIndex = (5 * dayOfYear + 2) / 153;
    const unsigned day = static_cast<unsigned>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const unsigned month = static_cast<unsigned>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    const long year = static_cast<long>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

const char *signalName(int signal)
{
    switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    }
    return "unknown signal";
}

void writeAll(const char *data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(STDOUT_FILENO, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

void appendHead(LineWriter &line, long epochSeconds, long microseconds, long utcOffset, int pid,
                unsigned long tid, const char *level)
{
    const long local = epochSeconds + utcOffset;
    long days = local / 86400;
    long secondOfDay = local % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    const CivilDate date = civilFromDays(days);
    line.signedNumber(date.year, 4);
    line.number(date.month, 2);
    line.number(date.day, 2);
    line.text(" ");
    line.number(static_cast<unsigned long>(secondOfDay / 3600), 2);
    line.text(":");
    line.number(static_cast<unsigned long>(secondOfDay / 60 % 60), 2);
    line.text(":");
    line.number(static_cast<unsigned long>(secondOfDay % 60), 2);
    line.text(".");
    line.signedNumber(microseconds / 1000, 3);
    line.text(" [");
    line.signedNumber(pid);
    line.text(".");
    line.number(tid);
    line.text("] ");
    line.text(level);
    line.text(" ");
}

// One FATAL log line of the crashing thread, built on its stack with the "file:line " prefix.
class CrashLine
{
public:
    explicit CrashLine(int sourceLine) : m_line(m_data, sizeof m_data)
    {
        struct timespec now = {};
        clock_gettime(CLOCK_REALTIME, &now);
        appendHead(m_line, now.tv_sec, now.tv_nsec / 1000, utcOffsetSeconds, getpid(),
                   static_cast<unsigned long>(syscall(SYS_gettid)), "FATAL");
        m_line.text(KivLog::baseName(__FILE__));
        m_line.text(":");
        m_line.number(static_cast<unsigned long>(sourceLine));
        m_line.text(" ");
    }

    CrashLine(const CrashLine &) = delete;
    CrashLine &operator=(const CrashLine &) = delete;

    LineWriter *operator->() { return &m_line; }

    // Writes the line; without the line feed when the caller completes it with another write.
    void write(bool lineFeed = true) const
    {
        writeAll(m_data, m_line.length());
        if (lineFeed)
            writeAll("\n", 1);
    }

private:
    char m_data[LineCapacity];
    LineWriter m_line;
};

void onCrash(int signal, siginfo_t *info, void *)
{
    // SA_RESETHAND has restored the default action; a crash while reporting just ends the process.
    if (crashing) {
        raise(signal);
        return;
    }
    crashing = 1;

    CrashLine header(__LINE__);
    header->text("Caught signal ");
    header->number(static_cast<unsigned long>(signal));
    header->text(" (");
    header->text(signalName(signal));
    header->text(")");
    if (info && info->si_code > 0 && signal != SIGABRT) {
        header->text(" at address ");
        header->hex(reinterpret_cast<std::uintptr_t>(info->si_addr));
    }
    header->text(", backtrace follows:");
    header.write();

    const int count = backtrace(frames, MaxFrames);
    for (int i = 0; i < count; ++i) {
        CrashLine frame(__LINE__);
        frame->text("#");
        frame->number(static_cast<unsigned long>(i), 2);
        frame->text(" ");
        frame.write(false);
        backtrace_symbols_fd(&frames[i], 1, STDOUT_FILENO);
    }

    CrashLine footer(__LINE__);
    footer->text("End of backtrace (");
    footer->number(static_cast<unsigned long>(count));
    footer->text(" frames)");
    footer.write();

    // Delivered with the default action as soon as the handler returns.
    raise(signal);
}

} // namespace

std::size_t formatLineHead(char *buffer, std::size_t size, long epochSeconds, long microseconds,
                           long utcOffset, int pid, unsigned long tid, const char *level)
{
    LineWriter line(buffer, size);
    appendHead(line, epochSeconds, microseconds, utcOffset, pid, tid, level);
    return line.fits() ? line.length() : 0;
}

void install()
{
    // The first backtrace() loads the unwinder; doing it here keeps the handler free of allocation.
    void *warmUp[1];
    backtrace(warmUp, 1);

    const time_t now = time(nullptr);
    struct tm local = {};
    localtime_r(&now, &local);
    utcOffsetSeconds = local.tm_gmtoff;

    stack_t stack = {};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);

    struct sigaction action = {};
    action.sa_sigaction = onCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : CrashSignals)
        sigaction(signal, &action, nullptr);
}

} // namespace tavuStacktrace
