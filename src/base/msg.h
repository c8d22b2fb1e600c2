// Console messages: language choice, code page 932 output, timing lines and the timestamp.
// Every text a person sees goes through here. Texts are stored as UTF-8.
//
// Contract
// - Printing never allocates: texts are formatted into fixed buffers on the stack, so a message
//   can be printed when the pool and the heap are exhausted. A text longer than ZS_MSG_BUF - 1
//   bytes is cut.
// - Every message is flushed at once. Results of stream writes are not reported.
// - Use the ZS_MSG macros: they check both texts of a pair against the arguments at compile time.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/run.h"

inline constexpr int ZS_MSG_BUF = 4096;

// True when messages are to be printed in Japanese (asked anew for every message).
bool zs_is_japanese();

// Converts a UTF-8 text into con (ZS_MSG_BUF bytes) in code page 932. When no converter can be
// had the text is copied unchanged, so a message is never lost. Returns the bytes written.
int zs_to_console(const char* utf8, char* con);

// Bilingual message to standard error; the English and Japanese formats take the same arguments.
void zs_msg(const char* en, const char* jp, ...);
// The same to the diagnostic stream (see zs_diag_stream).
void zs_msg_out(const char* en, const char* jp, ...);
// A text printed unchanged in every language (verbose details and a few error lines).
void zs_msg_jp(const char* jp, ...);

// Where diagnostics meant for standard output go: standard output, unless the run writes its
// records there, in which case standard error (zs_run.diag), so that no diagnostic line ends up
// among the records.
FILE* zs_diag_stream();
// Diagnostics written directly to the diagnostic stream: no language choice, no conversion.
void zs_dump(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Plain formatted write to a stream: no language choice, no conversion.
void zs_raw(FILE* stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Refreshes and returns the run's timestamp text "YYYY-MM-DD hh:mm:ss ".
const char* zs_timestamp();

// Milliseconds between two clock readings, as every timing line prints them.
inline double zs_ms(long from, long to) { return (double)(to - from) / 1000.0 * 1000.0; }
// Verbose: a timed phase starts now (phaseStart = clock).
void zs_phase_begin();
// Verbose timing line: finish = clock, prints the Japanese-only text jp (one "%8.0f") with the
// milliseconds since phaseStart; with restart, the next phase starts now.
void zs_time_phase(const char* jp, bool restart);

// A size in KB, rounded up, as the messages print sizes.
inline long zs_kb(int64_t bytes) { return (long)((bytes - 1) / 1024 + 1); }

// A text argument as printf shows it; null becomes "(null)" explicitly.
inline const char* zs_s(const char* s) { return s != nullptr ? s : "(null)"; }

int zs_fmt_check(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#define ZS_FMT_CHECK(fmt, ...) ((void)sizeof(zs_fmt_check(fmt __VA_OPT__(, ) __VA_ARGS__)))

#define ZS_MSG(en, jp, ...)                                                                    \
    (ZS_FMT_CHECK(en __VA_OPT__(, ) __VA_ARGS__), ZS_FMT_CHECK(jp __VA_OPT__(, ) __VA_ARGS__), \
     zs_msg(en, jp __VA_OPT__(, ) __VA_ARGS__))
#define ZS_MSG_OUT(en, jp, ...)                                                                \
    (ZS_FMT_CHECK(en __VA_OPT__(, ) __VA_ARGS__), ZS_FMT_CHECK(jp __VA_OPT__(, ) __VA_ARGS__), \
     zs_msg_out(en, jp __VA_OPT__(, ) __VA_ARGS__))
#define ZS_MSG_JP(jp, ...) (ZS_FMT_CHECK(jp __VA_OPT__(, ) __VA_ARGS__), zs_msg_jp(jp __VA_OPT__(, ) __VA_ARGS__))

// Verbose-only variants: evaluated only while the run is verbose.
#define ZS_VMSG(en, jp, ...)                                           \
    do {                                                               \
        if (zs_run.bVerbose) ZS_MSG(en, jp __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)
#define ZS_VMSG_JP(jp, ...)                                           \
    do {                                                              \
        if (zs_run.bVerbose) ZS_MSG_JP(jp __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

// Contract checks: active in debug builds and in builds with TESRA_CHECKS; free otherwise.
#if !defined(NDEBUG) || defined(ZS_CHECKS)
#define ZS_ASSERT(cond) ((cond) ? (void)0 : zs_assert_failed(#cond, __FILE__, __LINE__))
[[noreturn]] void zs_assert_failed(const char* cond, const char* file, int line);
#else
#define ZS_ASSERT(cond) ((void)0)
#endif
