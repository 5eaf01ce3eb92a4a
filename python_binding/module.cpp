#include "Bindings.h"

#include <VelmoBinding/ModuleEntry.h>
#include <VelmoBinding/NativeObjects.h>

// Every type is registered before the first signature that names it: the device
// descriptions first, then the tool records, then the tool classes that take and return them.
PYBIND11_MODULE(velmo_hal_py, module) {
    velmo::binding::beginModule({});
    bindDeviceDescriptions(module);
    bindTools(module);
    velmo::binding::addCopyRestorer(module);
    velmo::binding::finishModule(module);
}
