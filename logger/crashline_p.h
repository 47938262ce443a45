// One line of the crash trace, written from a signal handler: kept in a fixed
// buffer on the stack, numbers written without the C library's formatting, and
// sent with write(2) alone, as nothing else is safe there.
#ifndef LOGGER_CRASHLINE_P_H
#define LOGGER_CRASHLINE_P_H

#include <cstddef>
#include <cstdint>

namespace LogerDetail
{
// One line of the trace in a fixed buffer; what does not fit is cut, the line
// still ends in "]\n".
class TraceLine
{
public:
    void Text(const char* p, size_t n);
    void Text(const char* psz);
    // n in decimal, padded with blanks to nWidth (as the line's number fields).
    void Decimal(unsigned long long n, size_t nWidth = 0);
    // n as "0x" and lower-case hex digits.
    void Hex(uintptr_t n);
    // "[HH:MM:SS.mmm] [FATAL] [0   ] [tid  ]  [crash]   [": the usual line.
    void Begin();
    // Ends the line and writes it to the log file and to stderr.
    void Emit();

private:
    bool WriteWhole(int nFd) const;
    char m_sz[1024];
    size_t m_n = 0;
};

// Ends the first line of a trace: " in thread <id> (task <kernel id>)".
void EmitWithThread(TraceLine& line);

// The log file's descriptor as last published (PublishLogFd), or -1.
int TraceLogFd();
} // namespace LogerDetail

#endif // LOGGER_CRASHLINE_P_H
