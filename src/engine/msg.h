// Console messages: language choice, code page 932 output and timing lines.
// Every text a person sees goes through here. Texts are stored as UTF-8.
#pragma once

#include <cstdio>

inline constexpr int ZS_MSG_BUF = 4096;

// True when messages are to be printed in Japanese (asked anew for every message).
bool zs_is_japanese();

// Converts a UTF-8 text into con (ZS_MSG_BUF bytes). Returns the bytes written without the
// terminator; 0 when a pointer is missing or the conversion fails (con then holds "").
int zs_to_console(const char* utf8, char* con);

// Converts fmtBuf into conBuf and writes it to standard error (or output), flushed.
void zs_print_err(const char* fmtBuf, char* conBuf);
void zs_print_out(const char* fmtBuf, char* conBuf);

// Bilingual message to standard error / standard output; English and Japanese formats take
// the same arguments. Use the ZS_MSG macros, which check both formats at compile time.
void zs_msg(const char* en, const char* jp, ...);
void zs_msg_out(const char* en, const char* jp, ...);
// A text printed unchanged in every language (verbose details and a few error lines).
void zs_msg_jp(const char* jp, ...);

// Diagnostics written directly to standard output: no language choice, no conversion.
void zs_dump(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Plain formatted write to a stream: no language choice, no conversion.
void zs_raw(FILE* stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Refreshes and returns the process-wide timestamp text "YYYY-MM-DD hh:mm:ss ".
const char* zs_timestamp();

// Prints fmt (one "%8.0f"-style conversion) with the milliseconds since the timing mark,
// then moves the mark to now, so consecutive lines time consecutive phases.
void zs_msg_timed(const char* fmt);

// A text argument as printf shows it; null becomes "(null)" explicitly.
inline const char* zs_s(const char* s) { return s != nullptr ? s : "(null)"; }

int zs_fmt_check(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#define ZS_FMT_CHECK(fmt, ...) ((void)sizeof(zs_fmt_check(fmt __VA_OPT__(, ) __VA_ARGS__)))

#define ZS_MSG(en, jp, ...)                                                         \
    (ZS_FMT_CHECK(en __VA_OPT__(, ) __VA_ARGS__), ZS_FMT_CHECK(jp __VA_OPT__(, ) __VA_ARGS__), \
     zs_msg(en, jp __VA_OPT__(, ) __VA_ARGS__))
#define ZS_MSG_OUT(en, jp, ...)                                                     \
    (ZS_FMT_CHECK(en __VA_OPT__(, ) __VA_ARGS__), ZS_FMT_CHECK(jp __VA_OPT__(, ) __VA_ARGS__), \
     zs_msg_out(en, jp __VA_OPT__(, ) __VA_ARGS__))
#define ZS_MSG_JP(jp, ...) (ZS_FMT_CHECK(jp __VA_OPT__(, ) __VA_ARGS__), zs_msg_jp(jp __VA_OPT__(, ) __VA_ARGS__))

// Verbose-only variants: evaluated only while the run is verbose.
#define ZS_VMSG(en, jp, ...) \
    do {                     \
        if (bVerbose) ZS_MSG(en, jp __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)
#define ZS_VMSG_JP(jp, ...) \
    do {                    \
        if (bVerbose) ZS_MSG_JP(jp __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)
