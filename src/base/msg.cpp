#include "base/msg.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace {

// Standard error keeps this buffer after a verbose run; it belongs to the stream.
char stderrBuffer[ZS_STDERR_BUF];

// False when the console mode prints nothing now.
bool printing(const ZsLog& log) { return log.console != ZS_CONSOLE_SILENT || log.bVerbose; }

void print_to(const ZsLog& log, FILE* stream, const char* fmtBuf) {
    if (!printing(log)) return;
    char conBuf[ZS_MSG_BUF];
    const char* text = fmtBuf;
    if (log.console == ZS_CONSOLE_CP932) {
        zs_to_console(fmtBuf, conBuf);
        text = conBuf;
    }
    if (log.console == ZS_CONSOLE_SILENT) stream = stderr;
    // One locked operation: lines of runs side by side never cut into each other.
    flockfile(stream);
    fputs(text, stream);
    fflush(stream);
    funlockfile(stream);
}

// An error line: "☆" after any leading newlines.
bool is_error_line(const char* text) {
    while (*text == '\n') text++;
    return std::strncmp(text, "☆", std::strlen("☆")) == 0;
}

void keep_failure(ZsLog& log, const char* text) {
    if (!is_error_line(text)) return;
    size_t room = sizeof log.failure - 1 - (size_t)log.failureLen;
    size_t n = strnlen(text, room);
    std::memcpy(log.failure + log.failureLen, text, n);
    log.failureLen += (int32_t)n;
    log.failure[log.failureLen] = '\0';
}

void vmsg(ZsLog& log, FILE* stream, bool keep, const char* fmt, va_list ap) {
    char fmtBuf[ZS_MSG_BUF];
    vsnprintf(fmtBuf, sizeof fmtBuf, fmt, ap);
    if (keep) keep_failure(log, fmtBuf);
    print_to(log, stream, fmtBuf);
}

}  // namespace

bool zs_is_japanese() {
    int lcid = zs_plat_user_lcid();
    return lcid == 1041 || (lcid & 0x3FF) == 17;
}

int zs_to_console(const char* utf8, char* con) {
    if (con == nullptr) return 0;
    con[0] = '\0';
    if (utf8 == nullptr) return 0;
    int n = zs_plat_to_cp932(utf8, con, ZS_MSG_BUF);
    if (n >= 0) return n;
    // No converter: the text as it is beats no text at all.
    size_t len = strnlen(utf8, ZS_MSG_BUF - 1);
    std::memcpy(con, utf8, len);
    con[len] = '\0';
    return (int)len;
}

FILE* zs_diag_stream(const ZsLog& log) {
    if (log.console == ZS_CONSOLE_SILENT) return stderr;
    return log.diag != nullptr ? log.diag : stdout;
}

char* zs_stderr_buffer() { return stderrBuffer; }

void zs_msg_text(ZsLog& log, const ZsText& t) {
    if (t.en == nullptr)
        zs_msg_jp(log, "%s", t.jp);
    else
        zs_msg(log, "%s", "%s", zs_is_japanese() ? t.jp : t.en);
}

void zs_msg(ZsLog& log, const char* en, const char* jp, ...) {
    va_list ap;
    va_start(ap, jp);
    vmsg(log, stderr, true, zs_is_japanese() ? jp : en, ap);
    va_end(ap);
}

void zs_msg_out(ZsLog& log, const char* en, const char* jp, ...) {
    va_list ap;
    va_start(ap, jp);
    vmsg(log, zs_diag_stream(log), false, zs_is_japanese() ? jp : en, ap);
    va_end(ap);
}

void zs_msg_jp(ZsLog& log, const char* jp, ...) {
    va_list ap;
    va_start(ap, jp);
    vmsg(log, stderr, true, jp, ap);
    va_end(ap);
}

void zs_note(ZsLog& log, const char* en, const char* jp, ...) {
    va_list ap;
    va_start(ap, jp);
    vmsg(log, stderr, false, zs_is_japanese() ? jp : en, ap);
    va_end(ap);
}

void zs_note_jp(ZsLog& log, const char* jp, ...) {
    va_list ap;
    va_start(ap, jp);
    vmsg(log, stderr, false, jp, ap);
    va_end(ap);
}

void zs_dump(ZsLog& log, const char* fmt, ...) {
    if (!printing(log)) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(zs_diag_stream(log), fmt, ap);
    va_end(ap);
}

void zs_line(ZsLog& log, const char* fmt, ...) {
    if (!printing(log)) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void zs_raw(FILE* stream, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stream, fmt, ap);
    va_end(ap);
}

const char* zs_timestamp(ZsLog& log) {
    std::tm t{};
    zs_plat_localtime(&t);
    snprintf(log.timeStamp, sizeof log.timeStamp, "%04d-%02d-%02d %02d:%02d:%02d ", t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return log.timeStamp;
}

void zs_phase_begin(ZsLog& log) {
    if (log.bVerbose) log.phaseStart = zs_plat_clock();
}

void zs_time_phase(ZsLog& log, const char* jp, bool restart) {
    if (!log.bVerbose) return;
    log.finish = zs_plat_clock();
    zs_note_jp(log, jp, zs_ms(log.phaseStart, log.finish));
    if (restart) log.phaseStart = zs_plat_clock();
}

#if !defined(NDEBUG) || defined(ZS_CHECKS)
void zs_assert_failed(const char* cond, const char* file, int line) {
    fprintf(stderr, "tesra: internal check failed: %s (%s:%d)\n", cond, file, line);
    fflush(stderr);
    std::abort();
}
#endif
