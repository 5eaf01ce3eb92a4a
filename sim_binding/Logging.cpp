#include "SimBindings.h"

#include <VelmoHal/device/Logger.h>

#include <Python.h>

#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace py = pybind11;

namespace {

struct LogRecord {
    velmo::LogLevelType level;
    std::string message;
    std::string file;
    int line;
};

// Lines wait here until the interpreter's main thread hands them to logging. The library may
// log while it holds a lock of its own, and a Python thread may hold the interpreter lock while
// it waits for that lock: so the sink only queues (under a lock that is never held while
// waiting for anything else) and asks the interpreter to call deliverPending when it is ready,
// which needs no interpreter lock to ask.
std::mutex pendingMutex;
std::deque<LogRecord> pending;
bool deliveryScheduled = false;

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

std::deque<LogRecord> takePending() {
    std::lock_guard<std::mutex> lock(pendingMutex);
    deliveryScheduled = false;
    return std::exchange(pending, {});
}

// Runs with the interpreter lock held and none of the library's locks.
void deliver(std::deque<LogRecord> records) {
    if (records.empty()) return;
    py::object logger = py::module_::import("logging").attr("getLogger")("velmo");
    for (const LogRecord& record : records) {
        const int level = pythonLevel(record.level);
        if (!logger.attr("isEnabledFor")(level).cast<bool>()) continue;
        py::object entry = logger.attr("makeRecord")("velmo", level, record.file, record.line, record.message,
                                                     py::tuple(), py::none());
        logger.attr("handle")(entry);
    }
}

int deliverPending(void*) {
    try {
        deliver(takePending());
    } catch (py::error_already_set& error) {
        // Raising here would surface at whatever line the main thread happens to run.
        error.discard_as_unraisable("delivering the device library's log lines to logging");
    }
    return 0;
}

void queueForPython(velmo::LogLevelType level, const char* message, const char* file, int line) {
    bool schedule = false;
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        pending.push_back({level, message, file, line});
        schedule = !std::exchange(deliveryScheduled, true);
    }
    // A full queue of pending calls leaves the lines for the next successful request.
    if (schedule && Py_AddPendingCall(&deliverPending, nullptr) != 0) {
        std::lock_guard<std::mutex> lock(pendingMutex);
        deliveryScheduled = false;
    }
}

void logToPython(bool enable) {
    velmo::setLogSink(enable ? &queueForPython : nullptr);
    if (!enable) deliver(takePending());
}

}  // namespace

void bindSimLogging(py::module_& module) {
    module.def("log_to_python", &logToPython,
               "Sends the device library's log lines to the Python logger 'velmo' (True) or to standard "
               "error (False, the default). Levels map to logging's: TRACE 5, DEBUG, INFO, NOTICE 25, "
               "WARNING, ERROR. A line logged on any thread reaches logging from the main thread as soon "
               "as it runs Python code again.",
               py::arg("enable") = true);
    // Lines still waiting at exit are delivered while logging still works; later ones, logged
    // while the interpreter goes away, go to standard error.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { logToPython(false); }));
}
