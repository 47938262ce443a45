// The line bytes of a record equal, byte for byte, those of the plain chain
// of QString::arg calls written through a UTF-8 QTextStream.
#include "line_p.h"
#include "printf_p.h"

#include <gtest/gtest.h>

#include <QTextStream>

#include <climits>
#include <cstdint>
#include <cwchar>
#include <cstdarg>

namespace
{
// The line as the chained QString::arg calls and a UTF-8 text stream give it.
QByteArray referenceBytes(const char* time, int level, unsigned line, unsigned tid, const std::string& module,
                          const std::string& message)
{
    std::string func = module.c_str();
    const size_t paren = func.find_first_of('(');
    if (paren != std::string::npos) {
        const std::string head = func.substr(0, paren);
        const size_t blank = head.find_last_of(' ');
        func = head.substr(blank == std::string::npos ? 0 : blank + 1).substr(0, 255);
    }
    std::string text = message.c_str();
    const bool emptyFirst = text[0] == '\n';
    if (emptyFirst)
        text[0] = ' ';
    const bool emptyLast = text.back() == '\n';
    if (emptyLast)
        text.pop_back();
    QByteArray bytes;
    QTextStream stream(&bytes);
    stream.setCodec("UTF-8");
    if (emptyFirst) {
        stream << Qt::endl;
        if (text.size() == 1)
            return bytes;
    }
    const QString names[] = {"DEBUG", "INFO", "WARN", "ERR", "FATAL"};
    stream << QString("[%1] [%2] [%3] [%4]  [%5]   [%6]")
                  .arg(QString(time), 0, ' ')
                  .arg(names[level], -5, ' ')
                  .arg(QString::number(line), -4, ' ')
                  .arg(QString::number(tid), -5, ' ')
                  .arg(QString(func.c_str()), 0, ' ')
                  .arg(QString(text.c_str()), 0, ' ')
           << Qt::endl;
    if (emptyLast)
        stream << Qt::endl;
    stream.flush();
    return bytes;
}
// The message formatted both ways into a buffer of the intake's size; empty
// when they agree, else what differs.
std::string formatBothWays(const char* format, ...)
{
    char ours[2049], theirs[2049];
    memset(ours, 'Z', sizeof ours); // stale bytes, should a field leave any
    va_list args, copy;
    va_start(args, format);
    va_copy(copy, args);
    const int ourCount = LogerDetail::FormatMessage(ours, sizeof ours, format, args);
    const int theirCount = vsnprintf(theirs, sizeof theirs, format, copy);
    va_end(copy);
    va_end(args);
    if (ourCount == theirCount && memcmp(ours, theirs, size_t(std::min(theirCount, 2048)) + 1) == 0)
        return {};
    return std::string(format) + ": " + std::to_string(ourCount) + " [" + ours + "] for " + std::to_string(theirCount) +
           " [" + theirs + "]";
}
} // namespace

TEST(Line, FormatsMessagesAsVsnprintf)
{
    const std::string big(3000, 'y');
    const std::string rows[] = {
        formatBothWays("%d %i %d", INT_MIN, 0, INT_MAX),
        formatBothWays("%u %x %X", UINT_MAX, 0xdeadbeefu, 0xabcu),
        formatBothWays("%ld %li %lu %lx", LONG_MIN, -1L, ULONG_MAX, ULONG_MAX),
        formatBothWays("%lld %llu %llX", LLONG_MIN, ULLONG_MAX, ULLONG_MAX),
        formatBothWays("%zu %zd %zx", SIZE_MAX, ssize_t(-5), size_t(255)),
        formatBothWays("[%s] [%s] %c%c", "text", static_cast<const char*>(nullptr), 'A', 0),
        formatBothWays("100%% of %s", big.c_str()),
        formatBothWays("%s%d", big.c_str(), 42),
        // Each flag, width, precision, length and conversion alone: none may be skipped or taken for another.
        formatBothWays("%5d", 7),
        formatBothWays("%-5d|", -7),
        formatBothWays("%05d", -7),
        formatBothWays("%08x", 255u),
        formatBothWays("%-05d|%08lu|%3d|%010lld|%-8X|%2s|%-4c|", 7, 123UL, 12345, LLONG_MIN, 0xabcu, "abc", 'z'),
        formatBothWays("%040d|%00005d", -1, 2),
        formatBothWays("%10d|%-10d|%010d|%16x|%-17u|%10c|%12d", 7, 7, -7, 255u, 7u, 'c', 7), // pads of 9 and more
        // With a %s the text may be cut: the same paddings there, and a cut inside one.
        formatBothWays("%s%40d|%-40d|%040d|%33x|%-32u|%10d|%8c", "a", 7, 7, -7, 255u, 7u, 7, 'c'),
        formatBothWays("%s%40d", std::string(2030, 'y').c_str(), 7),
        formatBothWays("%05s", "ab"),
        formatBothWays("%+d", 3),
        formatBothWays("% d", 3),
        formatBothWays("%#x", 255u),
        formatBothWays("%.3d", 7),
        formatBothWays("%.0d", 0),
        formatBothWays("%*d", 4, 7),
        formatBothWays("%5s", "ab"),
        formatBothWays("%-3s|", "a"),
        formatBothWays("%.2s", "abc"),
        formatBothWays("%3c", 'c'),
        formatBothWays("%'d", 1234567),
        formatBothWays("%hd", 65537),
        formatBothWays("%hhd", 300),
        formatBothWays("%hx", 65537u),
        formatBothWays("%jd", INTMAX_MIN),
        formatBothWays("%td", ptrdiff_t(-3)),
        formatBothWays("%Lf", 1.5L),
        formatBothWays("%o", 8u),
        formatBothWays("%p", nullptr),
        formatBothWays("%f", 1.5),
        formatBothWays("%e", 1.5),
        formatBothWays("%ls", L"wide"),
        formatBothWays("%lc", wint_t(L'w')),
        formatBothWays("%1$d", 5),
        formatBothWays("trailing %"),
        formatBothWays("%lll %q %"),
    };
    for (const std::string& difference : rows)
        EXPECT_EQ(difference, "");
}

TEST(Line, EqualsTheQStringChainByteForByte)
{
    const std::string pretty = "bool Loger::SetLogLevel(em_LOG_LEVEL)";
    const struct
    {
        const char* what;
        const char* time;
        int level;
        unsigned line, tid;
        std::string module, message;
    } rows[] = {
        {"worked example", "09:05:03.042", 2, 57, 812, pretty, "disk full"},
        {"non-ASCII", "23:59:59.999", 1, 1, 1, "void Grüße::f()", "Grüße, 日志 ✓ 😀"},
        {"Latin-1 byte in an eight-byte word", "00:00:00.000", 0, 22, 12, "void f()", "Latin-1\xE9 word"},
        {"overlong of three bytes", "00:00:00.000", 0, 22, 12, "void f()", "a\xE0\x80\xAF"},
        {"overlong NUL", "00:00:00.000", 0, 22, 12, "void f\xC0\x80()", "a\xC0\x80"},
        {"overlong of two bytes", "00:00:00.000", 0, 22, 12, "void f()", "a\xC1\xBF"},
        {"overlong of four bytes", "00:00:00.000", 0, 22, 12, "void f()", "a\xF0\x8F\xBF\xBF"},
        {"lone continuation byte", "00:00:00.000", 0, 22, 12, "void f()", "a\x80"},
        {"lead byte F5", "00:00:00.000", 0, 22, 12, "void f()", "a\xF5\x80\x80\x80"},
        {"ASCII after a lead byte", "00:00:00.000", 0, 22, 12, "void f()", "a\xC3(b"},
        {"ASCII in the third byte", "00:00:00.000", 0, 22, 12, "void f()", "a\xE4\xB8(b"},
        {"ASCII in the fourth byte", "00:00:00.000", 0, 22, 12, "void f()", "a\xF0\x9F\x98(b"},
        {"surrogate", "00:00:00.000", 0, 22, 12, "void f()", "a\xED\xA0\x80"},
        {"above U+10FFFF", "00:00:00.000", 0, 22, 12, "void f()", "a\xF4\x90\x80\x80"},
        {"truncated", "00:00:00.000", 0, 22, 12, "void f\xE4\xB8()", "a\xE4\xB8"},
        {"cut in a character", "00:00:00.000", 3, 333, 123, "void " + std::string(254, 'n') + "é()", "m"},
        {"byte order mark first", "00:00:00.000", 4, 4444, 1234,
         "\xEF\xBB\xBF"
         "f",
         "\xEF\xBB\xBF"
         "text"},
        {"noncharacters", "00:00:00.000", 0, 55555, 12345, "f", "\xEF\xBF\xBE \xF4\x8F\xBF\xBF"},
        {"%1 in the function", "00:00:00.000", 1, 666666, 123456, "void f%1x(int)", "msg"},
        {"%6 and %L0 in the function", "00:00:00.000", 1, 7, 4294967295u, "f%6%L0()", "msg"},
        {"%7 and Arabic digit", "00:00:00.000", 1, 7, 0, "f%7%\xD9\xA3()", "msg"},
        {"%1 in the message", "00:00:00.000", 1, 7, 0, "f", "%1 %6"},
        {"300-byte name", "00:00:00.000", 1, 7, 0, "void " + std::string(300, 'n') + "()", "m"},
        {"300 bytes without parenthesis", "00:00:00.000", 1, 7, 0, std::string(300, 'n'), "m"},
        {"empty function text", "00:00:00.000", 1, 4294967295u, 0, "", "m"},
        {"blank before the parenthesis", "00:00:00.000", 1, 0, 0, "int f (int)", "m"},
        {"line feed first", "00:00:00.000", 1, 1, 1, "f", "\nabc"},
        {"line feed last", "00:00:00.000", 1, 1, 1, "f", "abc\n"},
        {"line feeds both ends", "00:00:00.000", 1, 1, 1, "f", "\nabc\n"},
        {"a lone line feed", "00:00:00.000", 1, 1, 1, "f", "\n"},
        {"two line feeds", "00:00:00.000", 1, 1, 1, "f", "\n\n"},
        {"interior line feed and carriage return", "00:00:00.000", 1, 1, 1, "f", "a\nb\rc"},
        {"NUL inside", "00:00:00.000", 1, 1, 1, std::string("f\0g", 3), std::string("ab\0cd", 5)},
        {"odd time text", "%1 o'clock", 1, 1, 1, "f", "m"},
    };
    for (const auto& row : rows) {
        LogerDetail::RecordBytes record;
        LogerDetail::FormatRecord(record, row.time, row.level, row.line, row.tid, row.module.data(), row.module.size(),
                                  row.message.data(), row.message.size());
        const QByteArray fast(record.bytes.Data(), int(record.bytes.Size()));
        EXPECT_EQ(fast, referenceBytes(row.time, row.level, row.line, row.tid, row.module, row.message)) << row.what;
    }
}
