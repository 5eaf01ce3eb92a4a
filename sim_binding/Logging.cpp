#include "SimBindings.h"

#include <VelmoBinding/Gil.h>
#include <VelmoCodec/TimedWait.h>
#include <VelmoHal/device/Logger.h>
#include <VelmoSim/LogLineQueue.h>
#include <VelmoSim/LogSink.h>

#include <Python.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// Enough for any burst an ordinary program logs; a thread that logs without pause fills it and
// its further lines are dropped and counted instead of piling up.
constexpr std::size_t kQueuedLinesAtMost = 4096;
// The interpreter lock is taken once per batch, and after a full batch the delivery thread
// pauses, so a flood of lines takes a bounded share of the interpreter from the program.
constexpr std::size_t kLinesPerBatch = 256;
constexpr auto kPauseAfterFullBatch = std::chrono::milliseconds(1);

int pythonLevel(velmo::LogLevelType level) {
    switch (level) {
        case velmo::LogLevelType::TRACE: return 5;
        case velmo::LogLevelType::DEBUG: return 10;
        case velmo::LogLevelType::INFO: return 20;
        case velmo::LogLevelType::NOTICE: return 25;
        case velmo::LogLevelType::WARNING: return 30;
        case velmo::LogLevelType::ERROR: return 40;
    }
    return 30;
}

// A KeyboardInterrupt or SystemExit raised by a handler, waiting for the main thread to raise
// it: on the delivery thread it would only end a thread nobody waits for. Read and written
// only with the interpreter lock held.
PyObject* exitForMainThread = nullptr;

int raiseExitInMainThread(void*) {
    PyObject* raised = std::exchange(exitForMainThread, nullptr);
    if (raised == nullptr) return 0;
    PyErr_SetRaisedException(raised);
    return -1;
}

// With the interpreter lock. While one such exception waits, a later one would end the main
// thread the same way, and is dropped.
void passToMainThread(py::error_already_set& error) {
    if (exitForMainThread != nullptr) return;
    error.restore();
    exitForMainThread = PyErr_GetRaisedException();
    if (Py_AddPendingCall(&raiseExitInMainThread, nullptr) != 0) {
        PyErr_SetRaisedException(std::exchange(exitForMainThread, nullptr));
        PyErr_WriteUnraisable(nullptr);
    }
}

// Hands one line to the logger as logger.log would, with the interpreter lock held. A handler
// that fails is reported as logging reports what it cannot report itself, through
// sys.unraisablehook, naming the line; the lines after it are still delivered.
void deliverLine(py::handle logger, const velmo::LogLine& line) {
    using velmo::binding::callPython;
    using velmo::binding::lookUpPython;
    py::object record;
    try {
        const py::int_ level(pythonLevel(line.level));
        if (!callPython(lookUpPython(logger, "isEnabledFor"), py::make_tuple(level)).cast<bool>()) return;
        record = callPython(lookUpPython(logger, "makeRecord"),
                            py::make_tuple("velmo", level, line.file, line.line, line.message, py::tuple(), py::none()));
        callPython(lookUpPython(logger, "handle"), py::make_tuple(record));
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_KeyboardInterrupt) || error.matches(PyExc_SystemExit)) {
            passToMainThread(error);
        } else if (record) {
            error.discard_as_unraisable(record);
        } else {
            error.discard_as_unraisable((std::string("handing the device library's log line ") + line.message + " to logging").c_str());
        }
    }
}

void deliverBatch(const std::vector<velmo::LogLine>& batch) {
    try {
        const py::object logger = velmo::binding::callPython(
            velmo::binding::lookUpPython(py::module_::import("logging"), "getLogger"), py::make_tuple("velmo"));
        for (const velmo::LogLine& line : batch) deliverLine(logger, line);
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("finding the logger 'velmo' for the device library's log lines");
    }
}

// The queue of lines and the one thread that hands them to logging. The threads that log only
// queue; the delivery thread takes the interpreter lock for a batch at a time and holds none of
// the queue's or the library's locks while it waits for it.
class LogDelivery {
public:
    void push(velmo::LogLine line) { queue_.push(std::move(line)); }

    // Starts the delivery thread unless delivery has finished for good; says whether it runs.
    bool start() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) return false;
        if (!started_) {
            std::thread thread([this] { run(); });
            thread_ = thread.get_id();
            thread.detach();
            started_ = true;
        }
        return true;
    }

    // On a thread that holds the interpreter lock: returns once every line queued so far has
    // been handed to logging, or delivery has finished. Never waits on the delivery thread
    // itself (a handler that switches the routing).
    void waitForQueuedLines() {
        const std::uint64_t queued = queue_.queued();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (delivered_ >= queued || finished_ || std::this_thread::get_id() == thread_) return;
        }
        velmo::binding::ReleasedGil released;
        std::unique_lock<std::mutex> lock(mutex_);
        velmo::waitUntil(delivered_changed_, lock, [&] { return delivered_ >= queued || finished_; });
    }

    // For good: lines queued later are dropped, and the delivery thread ends.
    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        queue_.stop();
        delivered_changed_.notify_all();
    }

    std::uint64_t dropped() const { return queue_.dropped(); }

private:
    void run() {
        for (;;) {
            const std::vector<velmo::LogLine> batch = queue_.waitAndTake(kLinesPerBatch);
            if (batch.empty()) return;
            {
                velmo::binding::HeldGil held;
                deliverBatch(batch);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                delivered_ += batch.size();
            }
            delivered_changed_.notify_all();
            if (batch.size() >= kLinesPerBatch) std::this_thread::sleep_for(kPauseAfterFullBatch);
        }
    }

    velmo::LogLineQueue queue_{kQueuedLinesAtMost};
    std::mutex mutex_;
    std::condition_variable delivered_changed_;
    std::uint64_t delivered_ = 0;
    bool started_ = false;
    bool finished_ = false;
    std::thread::id thread_;
};

// Never destroyed: threads may log while the static destructors run. A forked child gets a
// delivery of its own, as the parent's thread and the state of its locks do not carry over.
std::atomic<LogDelivery*> delivery{new LogDelivery};

// Whether lines go to logging; set with the interpreter lock held.
bool routedToPython = false;

void queueForPython(velmo::LogLevelType level, const char* message, const char* file, int line) {
    delivery.load()->push({level, message, file, line});
}

void logToPython(bool enable) {
    LogDelivery& current = *delivery.load();
    routedToPython = enable && current.start();
    velmo::setLogSink(routedToPython ? &queueForPython : nullptr);
    current.waitForQueuedLines();
}

}  // namespace

void bindSimLogging(py::module_& module) {
    module.def("log_to_python", &logToPython,
               "Sends the device library's log lines to the Python logger 'velmo' (True) or to standard "
               "error (False, the default). Levels map to logging's: TRACE 5, DEBUG, INFO, NOTICE 25, "
               "WARNING, ERROR. A delivery thread hands the lines of every thread to logging in the order "
               "each thread logged them; either call returns once the lines logged before it have reached "
               "logging. At most 4096 lines wait: a line logged while that many wait is dropped and "
               "counted, and a WARNING saying how many were dropped takes their place. A handler that "
               "raises is reported through sys.unraisablehook and the next lines are still delivered; a "
               "KeyboardInterrupt or SystemExit it raises is raised in the main thread.",
               py::arg("enable") = true);
    module.def(
        "dropped_log_lines", [] { return delivery.load()->dropped(); },
        "How many of the device library's log lines were dropped, since the module was imported, "
        "because 4096 lines were waiting for logging already.");
    // Lines still waiting when the script ends are delivered while logging still works; later
    // ones go to standard error.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        logToPython(false);
        delivery.load()->finish();
    }));
    py::module_::import("os").attr("register_at_fork")(
        py::arg("after_in_child") = py::cpp_function([] {
            delivery.store(new LogDelivery);
            if (routedToPython) delivery.load()->start();
        }));
}
