#include "TestingBindings.h"

#include <VelmoBinding/ModuleEntry.h>

namespace py = pybind11;

// The types these helpers take and hand out (tools, records, Event2D and its NumPy data type)
// are registered by velmo_hal_py and velmo_base_py, so those are imported first.
PYBIND11_MODULE(testing, module) {
    module.doc() =
        "Helpers to check Python tools and event handling against native callers: a native holder of "
        "tools that calls them from any thread, fresh IMX636 and registry tools, and events made and "
        "read by native code.";
    velmo::binding::beginModule({"velmo_hal_py", "velmo_base_py"});
    bindTestingEvents(module);
    bindTestingToolHooks(module);
    velmo::binding::finishModule(module);
}
