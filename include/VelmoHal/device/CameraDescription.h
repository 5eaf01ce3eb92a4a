#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

namespace velmo {

enum INTERFACE_TYPE : std::uint32_t {
    USB = 0,
};

enum CAMERA_TYPE : std::uint32_t {
    RUV4 = 0,
    Taveo = 1,
};

static_assert(std::is_same_v<std::underlying_type_t<INTERFACE_TYPE>, std::uint32_t>);
static_assert(std::is_same_v<std::underlying_type_t<CAMERA_TYPE>, std::uint32_t>);

struct CameraDescription {
    std::string serial;
    std::string product;
    std::string manufacturer;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    INTERFACE_TYPE interfaceType = USB;
};

// The enumerator's name, or "INTERFACE_TYPE(7)" style for a value without one.
std::string to_string(INTERFACE_TYPE type);

}  // namespace velmo
