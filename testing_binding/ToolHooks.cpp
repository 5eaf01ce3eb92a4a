#include "TestingBindings.h"

#include <VelmoBinding/Gil.h>
#include <VelmoBinding/NativeObjects.h>
#include <VelmoHal/camera/tools/CameraToolPrivate.h>
#include <VelmoSim/SimulatedCamera.h>

#include <pybind11/stl.h>

#include <exception>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// A tool over a registry given entry by entry, including entries that break the registry's
// rules (a key other than key_prefix + name, a record of another type than basic.type), so
// the Python layer can be tried against registries no device tool would build.
class RegistryTool final : public velmo::CameraToolBasePrivate {
public:
    explicit RegistryTool(std::string key_prefix) : CameraToolBasePrivate(std::move(key_prefix)) {}

    void store(std::string key, velmo::ParameterEntry entry) {
        parameters.insert_or_assign(std::move(key), std::move(entry));
    }

    velmo::ToolInfo getToolInfo() override {
        velmo::ToolInfo info;
        info.description = "Parameter registry built from Python";
        for (const auto& entry : parameters) info.parameter_names.push_back(entry.first);
        return info;
    }
};

template <typename Info>
bool storeDetailIf(py::handle record, velmo::ParameterDetail& detail) {
    if (!py::isinstance<Info>(record)) return false;
    detail = record.cast<Info>();
    return true;
}

// None leaves the detail a ParameterEntry starts with, as a STRING parameter has no record.
velmo::ParameterDetail detailFrom(py::handle record) {
    velmo::ParameterDetail detail = velmo::ParameterEntry{}.detail;
    if (record.is_none() || storeDetailIf<velmo::IntParameterInfo>(record, detail) ||
        storeDetailIf<velmo::FloatParameterInfo>(record, detail) ||
        storeDetailIf<velmo::BoolParameterInfo>(record, detail) ||
        storeDetailIf<velmo::EnumParameterInfo>(record, detail)) {
        return detail;
    }
    throw py::type_error("the second element of an entry must be an IntParameterInfo, FloatParameterInfo, "
                         "BoolParameterInfo, EnumParameterInfo or None, not " +
                         std::string(py::str(py::type::handle_of(record).attr("__name__"))));
}

std::unique_ptr<velmo::CameraToolBasePrivate> makeRegistryTool(const std::vector<py::tuple>& entries,
                                                               std::string key_prefix) {
    auto tool = std::make_unique<RegistryTool>(key_prefix);
    for (const py::tuple& item : entries) {
        if (item.size() != 2 && item.size() != 3) {
            throw py::type_error("an entry is (BasicParameterInfo, record or None[, registry key]), got " +
                                 std::to_string(item.size()) + " elements");
        }
        if (!py::isinstance<velmo::BasicParameterInfo>(item[0])) {
            throw py::type_error("the first element of an entry must be a BasicParameterInfo");
        }
        velmo::ParameterEntry entry;
        entry.basic = item[0].cast<velmo::BasicParameterInfo>();
        entry.detail = detailFrom(item[1]);
        std::string key = key_prefix + entry.basic.name;
        if (item.size() == 3) {
            if (!py::isinstance<py::str>(item[2])) throw py::type_error("the registry key of an entry must be a str");
            key = item[2].cast<std::string>();
        }
        tool->store(std::move(key), std::move(entry));
    }
    return tool;
}

// Holds a tool as native code does and calls it through the native interface, so Python can
// see what a Python-implemented tool answers to native callers, on any thread.
class NativeHolder {
public:
    static constexpr int kMaxThreads = 64;
    static constexpr int kMaxCallsPerThread = 1'000'000;

    explicit NativeHolder(std::shared_ptr<velmo::CameraTool> tool) : tool_(std::move(tool)) {}

    velmo::ToolInfo toolInfo() { return tool_->getToolInfo(); }

    std::map<std::string, velmo::BasicParameterInfo> allParamInfo() { return tool_->getAllParamInfo(); }

    py::tuple paramInfo(const std::string& name, py::handle record) {
        py::tuple answer;
        if (queryIf<velmo::IntParameterInfo>(name, record, answer) ||
            queryIf<velmo::FloatParameterInfo>(name, record, answer) ||
            queryIf<velmo::BoolParameterInfo>(name, record, answer) ||
            queryIf<velmo::EnumParameterInfo>(name, record, answer)) {
            return answer;
        }
        throw py::type_error("param_info needs an IntParameterInfo, FloatParameterInfo, BoolParameterInfo or "
                             "EnumParameterInfo record");
    }

    long useCount() const { return tool_.use_count(); }

    // Returns how many of the threads * calls calls of getToolInfo returned a result.
    int callFromThreads(int threads, int calls) {
        int answered = 0;
        for (const ThreadOutcome& outcome : runOnThreads(threads, calls)) answered += outcome.answered;
        return answered;
    }

    // One table per thread: how many of its calls failed with each message.
    std::vector<std::map<std::string, int>> failuresOnThreads(int threads, int calls) {
        std::vector<std::map<std::string, int>> failures;
        for (ThreadOutcome& outcome : runOnThreads(threads, calls)) failures.push_back(std::move(outcome.failures));
        return failures;
    }

private:
    struct ThreadOutcome {
        int answered = 0;
        std::map<std::string, int> failures;
    };

    // Calls getToolInfo natively `calls` times on each of `threads` threads with the GIL
    // released, so a Python-implemented tool is entered from every thread. Each thread keeps
    // its own outcome: nothing is shared while they run.
    std::vector<ThreadOutcome> runOnThreads(int threads, int calls) {
        if (threads < 0 || threads > kMaxThreads) {
            throw py::value_error("threads must lie in [0, " + std::to_string(kMaxThreads) + "], got " +
                                  std::to_string(threads));
        }
        if (calls < 0 || calls > kMaxCallsPerThread) {
            throw py::value_error("calls must lie in [0, " + std::to_string(kMaxCallsPerThread) + "], got " +
                                  std::to_string(calls));
        }
        std::vector<ThreadOutcome> outcomes(static_cast<std::size_t>(threads));
        velmo::binding::ReleasedGil released;
        std::vector<std::thread> workers;
        workers.reserve(outcomes.size());
        try {
            for (ThreadOutcome& outcome : outcomes) {
                workers.emplace_back([this, calls, &outcome] {
                    for (int call = 0; call < calls; ++call) {
                        std::exception_ptr pythonError;
                        try {
                            tool_->getToolInfo();
                            ++outcome.answered;
                        } catch (const py::error_already_set&) {
                            pythonError = std::current_exception();
                        } catch (const std::exception& error) {
                            ++outcome.failures[error.what()];
                        }
                        if (pythonError) countPythonError(std::move(pythonError), outcome);
                    }
                });
            }
        } catch (const std::system_error&) {
            for (std::thread& worker : workers) worker.join();
            throw;
        }
        for (std::thread& worker : workers) worker.join();
        return outcomes;
    }

    // A Python error's message is made, and the error freed, with the interpreter lock held;
    // pybind11 would otherwise take the lock inside its noexcept what() and destructor, where a
    // thread ended by the interpreter's finalization could not unwind.
    static void countPythonError(std::exception_ptr error, ThreadOutcome& outcome) {
        velmo::binding::HeldGil held;
        try {
            std::rethrow_exception(std::move(error));
        } catch (const py::error_already_set& pythonError) {
            ++outcome.failures[pythonError.what()];
        }
    }

    template <typename Info>
    bool queryIf(const std::string& name, py::handle record, py::tuple& answer) {
        if (!py::isinstance<Info>(record)) return false;
        Info info = record.cast<Info>();
        const bool ok = tool_->getParamInfo(name, info);
        answer = py::make_tuple(ok, std::move(info));
        return true;
    }

    std::shared_ptr<velmo::CameraTool> tool_;
};

}  // namespace

void bindTestingToolHooks(py::module_& module) {
    module.def("make_tool", &velmo::makeImx636Tool,
               "A fresh IMX636 tool of this kind on its own register file; ValueError for a kind "
               "without one.",
               py::arg("tool_type"), py::arg("key_prefix") = "");

    module.def("make_registry_tool", &makeRegistryTool,
               "A CameraToolBasePrivate whose registry holds exactly these entries, each "
               "(BasicParameterInfo, typed record or None) stored under key_prefix + name, or "
               "(BasicParameterInfo, typed record or None, registry key).",
               py::arg("entries"), py::arg("key_prefix") = "");

    py::class_<NativeHolder> holder(module, "NativeHolder", velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(holder, "it shares its tool with native code");
    holder
        .def(py::init<std::shared_ptr<velmo::CameraTool>>(), py::arg("tool").none(false))
        .def("tool_info", &NativeHolder::toolInfo, "getToolInfo called natively.")
        .def("all_param_info", &NativeHolder::allParamInfo, "getAllParamInfo called natively.")
        .def("param_info", &NativeHolder::paramInfo,
             "getParamInfo called natively on a copy of record, using the overload of its class; "
             "returns (ok, the record afterwards).",
             py::arg("name"), py::arg("record"))
        .def("use_count", &NativeHolder::useCount, "Owners of the held tool, this holder included.")
        .def("call_from_threads", &NativeHolder::callFromThreads,
             "Calls getToolInfo natively `calls` times on each of `threads` threads with the GIL "
             "released; returns how many calls returned a result.",
             py::arg("threads"), py::arg("calls"))
        .def("failures_on_threads", &NativeHolder::failuresOnThreads,
             "Calls getToolInfo natively as call_from_threads does; returns, for each thread, how "
             "many of its calls failed with each error message.",
             py::arg("threads"), py::arg("calls"));
}
