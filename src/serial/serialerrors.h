#pragma once

#include <cstdint>

namespace vantor::serial::errors {
// Numbers of the classic serial control, used where one fits.
constexpr std::int32_t InvalidPortNumber = 8002;   // "Invalid port number"
constexpr std::int32_t PortAlreadyOpen = 8005;     // "Port already open"
constexpr std::int32_t DeviceNotOpen = 8012;       // "The device is not open"
constexpr std::int32_t PortNotOpen = 8018;         // "Operation valid only when the port is open"
constexpr std::int32_t InvalidPropertyValue = 380; // "Invalid property value"
} // namespace vantor::serial::errors
