// The _tesra extension module: one function that runs the engine on a command line.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/msg.h"
#include "engine/driver.h"

namespace {

// What one call keeps while its run goes on without the interpreter lock: the exception an
// interrupt raised, raised again when the call returns.
struct CallState {
    PyObject* pendingException;
};

// Asks the interpreter, briefly holding its lock, whether a signal (Ctrl-C) is waiting. Python
// runs its handlers only in the main thread; a sort in another thread is never interrupted.
int signal_pending(void* user) {
    CallState* call = static_cast<CallState*>(user);
    PyGILState_STATE g = PyGILState_Ensure();
    int pending = 0;
    if (PyErr_CheckSignals() != 0) {
        Py_XDECREF(call->pendingException);
        call->pendingException = PyErr_GetRaisedException();
        pending = 1;
    }
    PyGILState_Release(g);
    return pending;
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

PyObject* tesra_run(PyObject*, PyObject* callArgs) {
    PyObject* list = nullptr;
    if (!PyArg_ParseTuple(callArgs, "O!", &PyList_Type, &list)) return nullptr;

    Py_ssize_t n = PyList_Size(list);
    if (n < 0) return nullptr;
    if (n >= INT32_MAX) return PyErr_NoMemory();
    int argc = (int)n + 1;
    char** argv = static_cast<char**>(std::calloc((size_t)argc + 1, sizeof(char*)));
    if (argv == nullptr) return PyErr_NoMemory();
    argv[0] = copy_text("tesra", 5);
    if (argv[0] == nullptr) {
        std::free(argv);
        return PyErr_NoMemory();
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
        // A NUL would silently cut the argument short (another output file, another input).
        if (std::memchr(PyBytes_AS_STRING(bytes), 0, (size_t)PyBytes_GET_SIZE(bytes)) != nullptr) {
            Py_DECREF(bytes);
            free_argv(argv, i + 1);
            PyErr_SetString(PyExc_ValueError, "embedded null character");
            return nullptr;
        }
        argv[i + 1] = copy_text(PyBytes_AS_STRING(bytes), (size_t)PyBytes_GET_SIZE(bytes));
        Py_DECREF(bytes);
        if (argv[i + 1] == nullptr) {
            free_argv(argv, i + 1);
            return PyErr_NoMemory();
        }
    }

    flush_python_stream("stdout");
    flush_python_stream("stderr");

    // One block on the console, whatever other runs print meanwhile.
    flockfile(stderr);
    zs_raw(stderr, "==== Convert Python Params To C ====\n");
    for (int j = 0; j < argc; j++) zs_raw(stderr, "argv[%d] = \"%s\"\n", j, argv[j]);
    zs_raw(stderr, "==== Convert Python Params To C ====\n");
    fflush(stderr);
    funlockfile(stderr);

    // Runs side by side need no lock here: each has its own context.
    int result;
    CallState call{nullptr};
    ZsHost host{{signal_pending, &call}, nullptr, 0};
    Py_BEGIN_ALLOW_THREADS;
    result = tesra_run(argc, argv, &host);
    Py_END_ALLOW_THREADS;
    PyObject* raised = call.pendingException;

    free_argv(argv, argc);
    if (raised != nullptr) {
        PyErr_SetRaisedException(raised);
        return nullptr;
    }
    return PyLong_FromLong(result);
}

PyMethodDef methods[] = {
    {"tesra", tesra_run, METH_VARARGS, "Run tesra with argument list"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "_tesra", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tesra() {
    PyObject* m = PyModule_Create2(&moduleDef, 1013);
    if (m != nullptr && PyModule_AddStringConstant(m, "__version__", TESRA_VERSION) != 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
