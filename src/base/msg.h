// Console messages: language choice, code page 932 output, timing lines and the timestamp.
// Every text a person sees goes through here. Texts are stored as UTF-8.
//
// Contract
// - Printing never allocates: texts are formatted into fixed buffers on the stack, so a message
//   can be printed when the pool and the heap are exhausted. A text longer than ZS_MSG_BUF - 1
//   bytes is cut.
// - Every message is written and flushed in one locked stream operation, so that the lines of
//   runs side by side never cut into each other. Results of stream writes are not reported.
// - Every message goes through the run's log (the first argument of every macro: the run's
//   context, whatever layer it is seen from). An error line (one that starts with "☆", leading
//   newlines aside) printed by ZS_MSG or ZS_MSG_JP is also kept as the run's failure text; notes
//   (ZS_NOTE: start and end lines, fallbacks the run recovers from) and verbose lines are not.
// - Use the ZS_MSG macros: they check both texts of a pair against the arguments at compile time.
// - The run's console mode (log.console, set by the driver from the host) decides what reaches
//   the console; the failure text is kept the same way in every mode:
//     ZS_CONSOLE_CP932   every text converted to code page 932, on its stream;
//     ZS_CONSOLE_UTF8    the same texts unconverted (UTF-8);
//     ZS_CONSOLE_SILENT  nothing at all, unless the run is verbose (-Verbose loaded): then every
//                        line the run prints from there on (messages, notes, verbose lines, the
//                        settings dump, the report) goes to standard error unconverted, standard
//                        output being left to the records.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/log.h"

// True when messages are to be printed in Japanese (asked anew for every message).
bool zs_is_japanese();

// Converts a UTF-8 text into con (ZS_MSG_BUF bytes) in code page 932. When no converter can be
// had the text is copied unchanged, so a message is never lost. Returns the bytes written.
int zs_to_console(const char* utf8, char* con);

// A pair of texts of one message: English and Japanese, taking the same arguments. A pair whose
// English text is null is printed in Japanese in every locale. Lets a caller choose the message
// an operation prints on failure without a flag that chooses it.
struct ZsText {
    const char* en;
    const char* jp;
};
// Prints a pair that takes no arguments.
void zs_msg_text(ZsLog& log, const ZsText& t);

// Bilingual message to standard error; the English and Japanese formats take the same arguments.
void zs_msg(ZsLog& log, const char* en, const char* jp, ...);
// The same to the diagnostic stream (see zs_diag_stream).
void zs_msg_out(ZsLog& log, const char* en, const char* jp, ...);
// A text printed unchanged in every language (verbose details and a few error lines).
void zs_msg_jp(ZsLog& log, const char* jp, ...);
// As zs_msg and zs_msg_jp, never kept as failure text.
void zs_note(ZsLog& log, const char* en, const char* jp, ...);
void zs_note_jp(ZsLog& log, const char* jp, ...);

// Where diagnostics meant for standard output go: standard output, unless the run writes its
// records there, in which case standard error (log.diag), so that no diagnostic line ends up
// among the records; standard error in the silent console mode.
FILE* zs_diag_stream(const ZsLog& log);
// Diagnostics written directly to the diagnostic stream: no language choice, no conversion;
// nothing in the silent console mode unless the run is verbose.
void zs_dump(ZsLog& log, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// A plain line to standard error (the option scanner's complaints): no language choice, no
// conversion; printed as the console mode allows.
void zs_line(ZsLog& log, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Plain formatted write to a stream: no language choice, no conversion, no console mode.
void zs_raw(FILE* stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The buffer standard error keeps after a verbose run: it belongs to the stream, not to a run.
char* zs_stderr_buffer();
inline constexpr size_t ZS_STDERR_BUF = 16384;

// Refreshes and returns the run's timestamp text "YYYY-MM-DD hh:mm:ss ".
const char* zs_timestamp(ZsLog& log);

// Milliseconds between two clock readings, as every timing line prints them.
inline double zs_ms(long from, long to) { return (double)(to - from) / 1000.0 * 1000.0; }
// Verbose: a timed phase starts now (phaseStart = clock).
void zs_phase_begin(ZsLog& log);
// Verbose timing line: finish = clock, prints the Japanese-only text jp (one "%8.0f") with the
// milliseconds since phaseStart; with restart, the next phase starts now.
void zs_time_phase(ZsLog& log, const char* jp, bool restart);

// A size in KB, rounded up, as the messages print sizes.
inline long zs_kb(int64_t bytes) { return (long)((bytes - 1) / 1024 + 1); }

// A text argument as printf shows it; null becomes "(null)" explicitly.
inline const char* zs_s(const char* s) { return s != nullptr ? s : "(null)"; }

int zs_fmt_check(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#define ZS_FMT_CHECK(fmt, ...) ((void)sizeof(zs_fmt_check(fmt __VA_OPT__(, ) __VA_ARGS__)))

#define ZS_MSG(log, en, jp, ...)                                                               \
    (ZS_FMT_CHECK(en __VA_OPT__(, ) __VA_ARGS__), ZS_FMT_CHECK(jp __VA_OPT__(, ) __VA_ARGS__), \
     zs_msg(log, en, jp __VA_OPT__(, ) __VA_ARGS__))
#define ZS_MSG_OUT(log, en, jp, ...)                                                           \
    (ZS_FMT_CHECK(en __VA_OPT__(, ) __VA_ARGS__), ZS_FMT_CHECK(jp __VA_OPT__(, ) __VA_ARGS__), \
     zs_msg_out(log, en, jp __VA_OPT__(, ) __VA_ARGS__))
#define ZS_MSG_JP(log, jp, ...) \
    (ZS_FMT_CHECK(jp __VA_OPT__(, ) __VA_ARGS__), zs_msg_jp(log, jp __VA_OPT__(, ) __VA_ARGS__))
#define ZS_NOTE(log, en, jp, ...)                                                              \
    (ZS_FMT_CHECK(en __VA_OPT__(, ) __VA_ARGS__), ZS_FMT_CHECK(jp __VA_OPT__(, ) __VA_ARGS__), \
     zs_note(log, en, jp __VA_OPT__(, ) __VA_ARGS__))
#define ZS_NOTE_JP(log, jp, ...) \
    (ZS_FMT_CHECK(jp __VA_OPT__(, ) __VA_ARGS__), zs_note_jp(log, jp __VA_OPT__(, ) __VA_ARGS__))

// Verbose-only variants: evaluated only while the run is verbose; never failure text.
#define ZS_VMSG(log, en, jp, ...)                                                \
    do {                                                                         \
        ZsLog& zs_vlog_ = (log);                                                 \
        if (zs_vlog_.bVerbose) ZS_NOTE(zs_vlog_, en, jp __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)
#define ZS_VMSG_JP(log, jp, ...)                                                \
    do {                                                                        \
        ZsLog& zs_vlog_ = (log);                                                \
        if (zs_vlog_.bVerbose) ZS_NOTE_JP(zs_vlog_, jp __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

// Contract checks: active in debug builds and in builds with TESRA_CHECKS; free otherwise.
#if !defined(NDEBUG) || defined(ZS_CHECKS)
#define ZS_ASSERT(cond) ((cond) ? (void)0 : zs_assert_failed(#cond, __FILE__, __LINE__))
[[noreturn]] void zs_assert_failed(const char* cond, const char* file, int line);
#else
#define ZS_ASSERT(cond) ((void)0)
#endif
