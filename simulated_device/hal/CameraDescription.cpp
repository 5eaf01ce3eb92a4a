#include <VelmoHal/device/CameraDescription.h>

namespace velmo {

std::string to_string(INTERFACE_TYPE type) {
    switch (type) {
        case USB: return "USB";
    }
    return "INTERFACE_TYPE(" + std::to_string(static_cast<std::uint32_t>(type)) + ")";
}

}  // namespace velmo
