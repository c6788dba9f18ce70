#pragma once

#include <cstdint>

// The run-time error numbers this program raises, with their classic descriptions: one table,
// used at every place an error is thrown. Errors that carry context of their own (an errno and a
// device path, a host name) are thrown with their own text and are not listed here.
namespace vantor::errors {

constexpr std::int32_t InvalidProcedureCall = 5;
constexpr std::int32_t Overflow = 6;
constexpr std::int32_t OutOfMemory = 7;
constexpr std::int32_t SubscriptOutOfRange = 9;
constexpr std::int32_t TypeMismatch = 13;
constexpr std::int32_t InternalError = 51;
constexpr std::int32_t InvalidPropertyValue = 380;
// The serial control's own.
constexpr std::int32_t InvalidPortNumber = 8002;
constexpr std::int32_t PortAlreadyOpen = 8005;
constexpr std::int32_t DeviceNotOpen = 8012;
constexpr std::int32_t PortNotOpen = 8018;
// The socket control's own.
constexpr std::int32_t WrongConnectionState = 40006;
// A processor fault; its description is the fault's name (exceptionfilter.h), not a fixed text.
constexpr std::int32_t Fault = 65535;

// The classic description of a number of the table above; nullptr for any other number.
const char *description(std::int32_t number) noexcept;

} // namespace vantor::errors
