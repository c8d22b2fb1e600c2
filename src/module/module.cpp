// The _tesra extension module: tesra() runs the engine on a command line as it has always been
// run (argument echo, start and end lines, code page 932); _run() and _usage() serve the tesra
// package and its command. Built on the limited API: one module for every CPython from 3.13 on.
#define PY_SSIZE_T_CLEAN
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030D0000
#endif
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/msg.h"
#include "engine/driver.h"
#include "settings/settings.h"

namespace {

// What one call keeps while its run goes on without the interpreter lock: the progress callable
// and the exception an interrupt or that callable raised, raised again when the call returns.
struct CallState {
    PyObject* pendingException;
    PyObject* progress;  // borrowed for the call; null without one
};

void keep_exception(CallState* call) {
    Py_XDECREF(call->pendingException);
    call->pendingException = PyErr_GetRaisedException();
}

// Asks the interpreter, briefly holding its lock, whether a signal (Ctrl-C) is waiting. Python
// runs its handlers only in the main thread; a sort in another thread is never interrupted.
int signal_pending(void* user) {
    CallState* call = static_cast<CallState*>(user);
    PyGILState_STATE g = PyGILState_Ensure();
    int pending = 0;
    if (PyErr_CheckSignals() != 0) {
        keep_exception(call);
        pending = 1;
    }
    PyGILState_Release(g);
    return pending;
}

// Calls the progress callable with the lock held; an exception it raises stops the run.
int report_progress(void* user, const char* phase, int64_t done, int64_t total) {
    CallState* call = static_cast<CallState*>(user);
    PyGILState_STATE g = PyGILState_Ensure();
    int stop = 0;
    PyObject* r = PyObject_CallFunction(call->progress, "sLL", phase, (long long)done, (long long)total);
    if (r == nullptr) {
        keep_exception(call);
        stop = 1;
    }
    Py_XDECREF(r);
    PyGILState_Release(g);
    return stop;
}

void free_argv(char** argv, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; i++) std::free(argv[i]);
    std::free(argv);
}

char* copy_text(const char* s, size_t len) {
    char* c = static_cast<char*>(std::malloc(len + 1));
    if (c != nullptr) {
        std::memcpy(c, s, len);
        c[len] = '\0';
    }
    return c;
}

char** no_memory() {
    PyErr_NoMemory();
    return nullptr;
}

// The engine's argv from a list of str ("tesra" first, null last); null with an exception set.
char** make_argv(PyObject* list, int* argcOut) {
    Py_ssize_t n = PyList_Size(list);
    if (n < 0) return nullptr;
    if (n >= INT32_MAX) return no_memory();
    int argc = (int)n + 1;
    char** argv = static_cast<char**>(std::calloc((size_t)argc + 1, sizeof(char*)));
    if (argv == nullptr) return no_memory();
    argv[0] = copy_text("tesra", 5);
    if (argv[0] == nullptr) {
        std::free(argv);
        return no_memory();
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* item = PyList_GetItem(list, i);  // borrowed
        if (!PyUnicode_Check(item)) {
            free_argv(argv, i + 1);
            PyErr_SetString(PyExc_TypeError, "All arguments must be strings");
            return nullptr;
        }
        // surrogateescape gives back the original bytes of a file name that Python decoded
        // from undecodable bytes.
        PyObject* bytes = PyUnicode_AsEncodedString(item, "utf-8", "surrogateescape");
        if (bytes == nullptr) {
            // Keep the encoder's own exception; only a failed copy is a MemoryError.
            free_argv(argv, i + 1);
            return nullptr;
        }
        const char* text = PyBytes_AsString(bytes);
        const Py_ssize_t len = PyBytes_Size(bytes);
        // A NUL would silently cut the argument short (another output file, another input).
        if (std::memchr(text, 0, (size_t)len) != nullptr) {
            Py_DECREF(bytes);
            free_argv(argv, i + 1);
            PyErr_SetString(PyExc_ValueError, "embedded null character");
            return nullptr;
        }
        argv[i + 1] = copy_text(text, (size_t)len);
        Py_DECREF(bytes);
        if (argv[i + 1] == nullptr) {
            free_argv(argv, i + 1);
            return no_memory();
        }
    }
    *argcOut = argc;
    return argv;
}

// Flushes a Python text stream (sys.stdout, sys.stderr) so that what Python printed before the
// call comes before what the engine writes to the same file descriptor.
void flush_python_stream(const char* name) {
    PyObject* stream = PySys_GetObject(name);  // borrowed
    if (stream == nullptr || stream == Py_None) return;
    PyObject* r = PyObject_CallMethod(stream, "flush", nullptr);
    if (r == nullptr)
        PyErr_Clear();
    else
        Py_DECREF(r);
}

void echo_args(int argc, char** argv) {
    // One block on the console, whatever other runs print meanwhile.
    flockfile(stderr);
    zs_raw(stderr, "==== Convert Python Params To C ====\n");
    for (int j = 0; j < argc; j++) zs_raw(stderr, "argv[%d] = \"%s\"\n", j, argv[j]);
    zs_raw(stderr, "==== Convert Python Params To C ====\n");
    fflush(stderr);
    funlockfile(stderr);
}

// Runs the engine without the interpreter lock. Runs side by side need no lock here: each has
// its own context.
int run_unlocked(int argc, char** argv, ZsHost* host) {
    int result;
    Py_BEGIN_ALLOW_THREADS;
    result = tesra_run(argc, argv, host);
    Py_END_ALLOW_THREADS;
    return result;
}

PyObject* tesra_command(PyObject*, PyObject* callArgs) {
    PyObject* list = nullptr;
    if (!PyArg_ParseTuple(callArgs, "O!", &PyList_Type, &list)) return nullptr;
    int argc = 0;
    char** argv = make_argv(list, &argc);
    if (argv == nullptr) return nullptr;

    flush_python_stream("stdout");
    flush_python_stream("stderr");
    echo_args(argc, argv);

    CallState call{nullptr, nullptr};
    ZsHost host{{signal_pending, &call}, nullptr, 0};
    int result = run_unlocked(argc, argv, &host);
    PyObject* raised = call.pendingException;

    free_argv(argv, argc);
    if (raised != nullptr) {
        PyErr_SetRaisedException(raised);
        return nullptr;
    }
    return PyLong_FromLong(result);
}

// "cp932", "utf-8" or (allowSilent) "silent"; -1 with ValueError for anything else.
int console_of(const char* name, bool allowSilent) {
    if (std::strcmp(name, "cp932") == 0) return ZS_CONSOLE_CP932;
    if (std::strcmp(name, "utf-8") == 0) return ZS_CONSOLE_UTF8;
    if (allowSilent && std::strcmp(name, "silent") == 0) return ZS_CONSOLE_SILENT;
    PyErr_Format(PyExc_ValueError, allowSilent ? "console must be 'cp932', 'utf-8' or 'silent', not '%s'"
                                               : "console must be 'cp932' or 'utf-8', not '%s'",
                 name);
    return -1;
}

// The statistics of a run as the package reads them; null with an exception set.
PyObject* stats_dict(const ZsRunStats& s) {
    PyObject* d = PyDict_New();
    if (d == nullptr) return nullptr;
    PyObject* mode = s.mode != nullptr ? PyUnicode_FromString(s.mode) : Py_NewRef(Py_None);
    PyObject* values[] = {PyLong_FromLongLong(s.records), PyLong_FromLongLong(s.rejected),
                          PyLong_FromLongLong(s.duplicates), mode, PyFloat_FromDouble(s.seconds)};
    const char* names[] = {"records", "rejected", "duplicates", "mode", "seconds"};
    bool ok = true;
    for (int i = 0; i < 5; i++) {
        if (ok && (values[i] == nullptr || PyDict_SetItemString(d, names[i], values[i]) != 0)) ok = false;
        Py_XDECREF(values[i]);
    }
    if (ok) return d;
    Py_DECREF(d);
    return nullptr;
}

// What _run opened for its run: the input's buffer and stream, the captured output's stream.
struct Streams {
    Py_buffer view;
    bool viewHeld;
    FILE* in;
    FILE* out;
    char* outData;
    size_t outLen;
};

// Opens the run's own standard input over the caller's bytes and its captured output. 0, or -1
// with an exception set.
int open_streams(Streams* s, PyObject* input, bool capture) {
    if (input != Py_None) {
        if (PyObject_GetBuffer(input, &s->view, PyBUF_SIMPLE) != 0) return -1;
        s->viewHeld = true;
        // Read only: the engine never writes its input.
        s->in = fmemopen(s->view.buf, (size_t)s->view.len, "r");
        if (s->in == nullptr) {
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
    }
    if (capture) {
        s->out = open_memstream(&s->outData, &s->outLen);
        if (s->out == nullptr) {
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
    }
    return 0;
}

// Closes what open_streams opened; the captured bytes as bytes (null with an exception set when
// they cannot be had), None without capture.
PyObject* close_streams(Streams* s) {
    if (s->in != nullptr) fclose(s->in);
    if (s->viewHeld) PyBuffer_Release(&s->view);
    if (s->out == nullptr) return Py_NewRef(Py_None);
    PyObject* out = nullptr;
    if (fclose(s->out) != 0)
        PyErr_NoMemory();  // the stream's last bytes could not be kept
    else
        out = PyBytes_FromStringAndSize(s->outData != nullptr ? s->outData : "", (Py_ssize_t)s->outLen);
    std::free(s->outData);
    return out;
}

PyObject* run_for_package(PyObject*, PyObject* callArgs, PyObject* kwargs) {
    static const char* kwlist[] = {"", "quiet", "console", "progress", "input", "capture", "threads", nullptr};
    PyObject* list = nullptr;
    int quiet = 1, capture = 0, threads = 0;
    const char* consoleName = "utf-8";
    PyObject* progress = Py_None;
    PyObject* input = Py_None;
    if (!PyArg_ParseTupleAndKeywords(callArgs, kwargs, "O!|$psOOpi:_run", const_cast<char**>(kwlist), &PyList_Type,
                                     &list, &quiet, &consoleName, &progress, &input, &capture, &threads))
        return nullptr;
    if (threads < 0) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1, or 0 for the default");
        return nullptr;
    }
    const int console = console_of(consoleName, true);
    if (console < 0) return nullptr;
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
        return nullptr;
    }
    int argc = 0;
    char** argv = make_argv(list, &argc);
    if (argv == nullptr) return nullptr;
    Streams streams{};
    if (open_streams(&streams, input, capture != 0) != 0) {
        PyObject* raised = PyErr_GetRaisedException();
        Py_XDECREF(close_streams(&streams));
        PyErr_SetRaisedException(raised);
        free_argv(argv, argc);
        return nullptr;
    }

    flush_python_stream("stdout");
    flush_python_stream("stderr");
    // The argument echo belongs to a run that shows everything.
    if (!quiet && console != ZS_CONSOLE_SILENT) echo_args(argc, argv);

    CallState call{nullptr, progress != Py_None ? progress : nullptr};
    char failure[ZS_FAILURE_MAX];
    ZsHost host{{signal_pending, &call}, failure, sizeof failure};
    host.quiet = quiet != 0;
    host.console = static_cast<ZsConsole>(console);
    if (call.progress != nullptr) host.progress = ZsProgressHook{report_progress, &call};
    host.in = streams.in;
    host.out = streams.out;
    host.threads = threads;
    int rc = run_unlocked(argc, argv, &host);
    free_argv(argv, argc);

    PyObject* out = close_streams(&streams);
    if (call.pendingException != nullptr) {
        Py_XDECREF(out);
        PyErr_SetRaisedException(call.pendingException);
        return nullptr;
    }
    if (out == nullptr) return nullptr;
    // Names in the text are the bytes given: undecodable ones come back as they went in.
    PyObject* text = PyUnicode_DecodeUTF8(failure, (Py_ssize_t)std::strlen(failure), "surrogateescape");
    PyObject* stats = text != nullptr ? stats_dict(host.stats) : nullptr;
    if (stats == nullptr) {
        Py_XDECREF(text);
        Py_DECREF(out);
        return nullptr;
    }
    return Py_BuildValue("(iNNN)", rc, text, stats, out);
}

PyObject* usage_text(PyObject*, PyObject* callArgs) {
    const char* consoleName = nullptr;
    if (!PyArg_ParseTuple(callArgs, "s:_usage", &consoleName)) return nullptr;
    const int console = console_of(consoleName, false);
    if (console < 0) return nullptr;
    const char* text = zs_usage_text();
    if (console == ZS_CONSOLE_UTF8) return PyUnicode_FromString(text);
    // As the console shows it: what code page 932 lacks is a '?'.
    char con[ZS_MSG_BUF];
    int n = zs_to_console(text, con);
    return PyUnicode_Decode(con, n, "cp932", "replace");
}

PyMethodDef methods[] = {
    {"tesra", tesra_command, METH_VARARGS, "Run tesra with argument list"},
    {"_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(run_for_package)),
     METH_VARARGS | METH_KEYWORDS, "One run for the tesra package: (result, failure text, statistics, captured output)."},
    {"_usage", usage_text, METH_VARARGS, "The engine's usage text in the locale's language."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "_tesra", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tesra() {
    PyObject* m = PyModule_Create(&moduleDef);
    if (m != nullptr && PyModule_AddStringConstant(m, "__version__", TESRA_VERSION) != 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
