#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <pthread.h>
#include <thread>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace velmo::binding {

// From Python 3.13 on, a thread that asks for the interpreter lock while the interpreter is
// finalizing never gets it: the interpreter ends the thread by unwinding its stack as
// pthread_exit does. That unwind cannot cross a noexcept destructor (std::terminate), and the
// frames it would run belong to native work whose Python objects are being torn down. Such a
// thread is parked instead, until the process ends: it holds none of our locks at that point,
// and no Python code waits for it.
[[noreturn]] inline void parkThreadUntilExit() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// Once the interpreter has begun to finalize it frees the thread states of the threads it does
// not wait for, and taking the lock back would touch a freed one: a thread that finds the
// interpreter finalizing before it asks for the lock is parked at once. The flag is read
// without the lock, as the interpreter allows.
inline void parkIfFinalizing() noexcept {
    if (Py_IsFinalizing()) parkThreadUntilExit();
}

// Runs `step`, which may take the interpreter lock, or lose it and take it back as running
// Python code does. The unwind that ends a thread during finalization is caught here; it must
// never be swallowed, and it is not: the handler never returns. Any other error of `step`
// propagates. `step` must own no Python reference that the unwind would release: that needs
// the lock, which the thread does not have then.
//
// The forced unwind carries no exception object, so the handler's reference is bound to null;
// UndefinedBehaviorSanitizer would report that binding, although the handler never reads it.
template <typename Step>
__attribute__((no_sanitize("undefined"))) void runOrPark(Step&& step) {
#if defined(__GLIBCXX__)
    try {
        step();
    } catch (abi::__forced_unwind&) {
        parkThreadUntilExit();
    }
#else
    step();
#endif
}

// Releases the interpreter lock for native work on a thread that holds it, and takes it back
// when the scope ends.
class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() {
        parkIfFinalizing();
        runOrPark([this] { PyEval_RestoreThread(state_); });
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

// Threads that hold no interpreter lock pass this gate to take it. A thread without a thread
// state of its own (a native thread) gets a new one from the interpreter for each call, and
// once the interpreter finalizes it frees the thread states it does not wait for, the new one
// included, while the thread may still be using it. So the gate closes when the script ends,
// before finalization: threads inside it finish their Python call first, with the lock given
// up to them, and threads that come later are parked. Each module has a gate of its own (its
// symbols are hidden), closed by closeInterpreterGateAtExit from the module's entry.
class InterpreterGate {
public:
    static InterpreterGate& instance() {
        // Never destroyed: threads reach it after the static destructors have run.
        static InterpreterGate& gate = *new InterpreterGate;
        return gate;
    }

    // Parks the thread when the gate has closed.
    void enter() noexcept {
        inside_.fetch_add(1);
        ++insideOnThisThread_;
        if (closed_.load()) {
            leave();
            parkThreadUntilExit();
        }
    }
    void leave() noexcept {
        --insideOnThisThread_;
        inside_.fetch_sub(1);
    }

    // On the thread that holds the interpreter lock: closes the gate, then lets the threads
    // inside finish. Their Python calls return as they would on any thread; the script's end
    // waits for them as it waits for its non-daemon threads.
    void close() {
        closed_.store(true);
        if (inside_.load() == 0) return;
        pybind11::gil_scoped_release released;
        while (inside_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

private:
    // A forked child has only the thread that forked: the other threads the parent had inside
    // are not there to leave, and closing the gate must not wait for them.
    InterpreterGate() {
        pthread_atfork(nullptr, nullptr, [] { instance().inside_.store(insideOnThisThread_); });
    }
    std::atomic<int> inside_{0};
    std::atomic<bool> closed_{false};
    static inline thread_local int insideOnThisThread_ = 0;
};

// Registers the closing of this module's gate with atexit, which runs when the script ends and
// before the interpreter finalizes.
inline void closeInterpreterGateAtExit() {
    pybind11::module_::import("atexit").attr("register")(
        pybind11::cpp_function([] { InterpreterGate::instance().close(); }));
}

// Holds the interpreter lock for the scope, on any thread, native threads included.
class HeldGil {
public:
    HeldGil() {
        if (PyGILState_Check()) {
            held_.emplace();
            return;
        }
        parkIfFinalizing();
        InterpreterGate::instance().enter();
        try {
            runOrPark([this] { held_.emplace(); });
        } catch (...) {
            InterpreterGate::instance().leave();
            throw;
        }
        entered_ = true;
    }
    ~HeldGil() {
        held_.reset();
        if (entered_) InterpreterGate::instance().leave();
    }
    HeldGil(const HeldGil&) = delete;
    HeldGil& operator=(const HeldGil&) = delete;

private:
    std::optional<pybind11::gil_scoped_acquire> held_;
    bool entered_ = false;
};

// callable(*args), on a thread that holds the interpreter lock. Python code gives the lock up
// now and then, and during finalization a thread that asks for it back is ended: see above.
inline pybind11::object callPython(pybind11::handle callable, const pybind11::tuple& args) {
    PyObject* result = nullptr;
    runOrPark([&] { result = PyObject_Call(callable.ptr(), args.ptr(), nullptr); });
    if (result == nullptr) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::object>(result);
}

// getattr(object, name), or an empty object when it has no such attribute; a lookup can run
// Python code, so it is guarded as callPython is.
inline pybind11::object lookUpPython(pybind11::handle object, const char* name) {
    PyObject* found = nullptr;
    runOrPark([&] { found = PyObject_GetAttrString(object.ptr(), name); });
    if (found == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw pybind11::error_already_set();
        PyErr_Clear();
    }
    return pybind11::reinterpret_steal<pybind11::object>(found);
}

}  // namespace velmo::binding
