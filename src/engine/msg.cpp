#include "engine/msg.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace {

char timeStampText[80];
long timingMark;

void print_to(FILE* stream, const char* fmtBuf, char* conBuf) {
    zs_to_console(fmtBuf, conBuf);
    fputs(conBuf, stream);
    fflush(stream);
}

void vmsg(FILE* stream, const char* fmt, va_list ap) {
    char fmtBuf[ZS_MSG_BUF];
    char conBuf[ZS_MSG_BUF];
    vsnprintf(fmtBuf, sizeof fmtBuf, fmt, ap);
    print_to(stream, fmtBuf, conBuf);
}

}  // namespace

bool zs_is_japanese() {
    int lcid = zs_plat_user_lcid();
    return lcid == 1041 || (lcid & 0x3FF) == 17;
}

int zs_to_console(const char* utf8, char* con) {
    if (con == nullptr) return 0;
    int n = zs_plat_to_cp932(utf8, con, ZS_MSG_BUF);
    if (n == 0) con[0] = '\0';  // never print what the conversion did not write
    return n;
}

void zs_print_err(const char* fmtBuf, char* conBuf) { print_to(stderr, fmtBuf, conBuf); }

void zs_print_out(const char* fmtBuf, char* conBuf) { print_to(stdout, fmtBuf, conBuf); }

void zs_msg(const char* en, const char* jp, ...) {
    va_list ap;
    va_start(ap, jp);
    vmsg(stderr, zs_is_japanese() ? jp : en, ap);
    va_end(ap);
}

void zs_msg_out(const char* en, const char* jp, ...) {
    va_list ap;
    va_start(ap, jp);
    vmsg(stdout, zs_is_japanese() ? jp : en, ap);
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
    vfprintf(stdout, fmt, ap);
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
    snprintf(timeStampText, sizeof timeStampText, "%04d-%02d-%02d %02d:%02d:%02d ", t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return timeStampText;
}

void zs_msg_timed(const char* fmt) {
    long now = zs_plat_clock();
    double ms = (double)(now - timingMark) / 1000.0 * 1000.0;
    timingMark = now;
    char fmtBuf[ZS_MSG_BUF];
    char conBuf[ZS_MSG_BUF];
    snprintf(fmtBuf, sizeof fmtBuf, fmt, ms);
    print_to(stderr, fmtBuf, conBuf);
}
