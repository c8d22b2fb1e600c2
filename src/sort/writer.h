// A buffered writer: records are copied into a large buffer and written to the stream in whole
// chunks, so that a record costs a copy, not a call into the C library.
//
// Contract
// - The stream is written only through the writer while it is in use; zs_writer_flush writes what
//   is pending. A failed write sets `failed` and later writes are dropped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

struct ZsWriter {
    FILE* stream;
    char* buf;
    int64_t cap;
    int64_t used;
    bool failed;
};

inline ZsWriter zs_writer(FILE* stream, char* buf, int64_t cap) { return ZsWriter{stream, buf, cap, 0, false}; }

inline void zs_writer_flush(ZsWriter* w) {
    if (w->used > 0 && !w->failed && fwrite(w->buf, 1, (size_t)w->used, w->stream) != (size_t)w->used)
        w->failed = true;
    w->used = 0;
}

inline void zs_put(ZsWriter* w, const void* p, int64_t n) {
    if (w->used + n > w->cap) {
        zs_writer_flush(w);
        if (n > w->cap) {  // larger than the buffer: straight to the stream
            if (!w->failed && fwrite(p, 1, (size_t)n, w->stream) != (size_t)n) w->failed = true;
            return;
        }
    }
    std::memcpy(w->buf + w->used, p, (size_t)n);
    w->used += n;
}
