#include "base/msg.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace {

void print_to(FILE* stream, const char* fmtBuf) {
    char conBuf[ZS_MSG_BUF];
    zs_to_console(fmtBuf, conBuf);
    fputs(conBuf, stream);
    fflush(stream);
}

void vmsg(FILE* stream, const char* fmt, va_list ap) {
    char fmtBuf[ZS_MSG_BUF];
    vsnprintf(fmtBuf, sizeof fmtBuf, fmt, ap);
    print_to(stream, fmtBuf);
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

FILE* zs_diag_stream() { return zs_run.diag != nullptr ? zs_run.diag : stdout; }

void zs_msg(const char* en, const char* jp, ...) {
    va_list ap;
    va_start(ap, jp);
    vmsg(stderr, zs_is_japanese() ? jp : en, ap);
    va_end(ap);
}

void zs_msg_out(const char* en, const char* jp, ...) {
    va_list ap;
    va_start(ap, jp);
    vmsg(zs_diag_stream(), zs_is_japanese() ? jp : en, ap);
    va_end(ap);
}

void zs_msg_jp(const char* jp, ...) {
    va_list ap;
    va_start(ap, jp);
    vmsg(stderr, jp, ap);
    va_end(ap);
}

void zs_dump(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(zs_diag_stream(), fmt, ap);
    va_end(ap);
}

void zs_raw(FILE* stream, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stream, fmt, ap);
    va_end(ap);
}

const char* zs_timestamp() {
    std::tm t{};
    zs_plat_localtime(&t);
    snprintf(zs_run.timeStamp, sizeof zs_run.timeStamp, "%04d-%02d-%02d %02d:%02d:%02d ", t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return zs_run.timeStamp;
}

void zs_phase_begin() {
    if (zs_run.bVerbose) zs_run.phaseStart = zs_plat_clock();
}

void zs_time_phase(const char* jp, bool restart) {
    if (!zs_run.bVerbose) return;
    zs_run.finish = zs_plat_clock();
    zs_msg_jp(jp, zs_ms(zs_run.phaseStart, zs_run.finish));
    if (restart) zs_run.phaseStart = zs_plat_clock();
}

#if !defined(NDEBUG) || defined(ZS_CHECKS)
void zs_assert_failed(const char* cond, const char* file, int line) {
    fprintf(stderr, "tesra: internal check failed: %s (%s:%d)\n", cond, file, line);
    fflush(stderr);
    std::abort();
}
#endif
