#include "errorcatalogue.h"

namespace vantor::errors {

namespace {

struct Entry
{
    std::int32_t number;
    const char *text;
};

constexpr Entry Catalogue[] = {
    {InvalidProcedureCall, "Invalid procedure call or argument"},
    {Overflow, "Overflow"},
    {OutOfMemory, "Out of memory"},
    {SubscriptOutOfRange, "Subscript out of range"},
    {TypeMismatch, "Type mismatch"},
    {InternalError, "Internal error"},
    {InvalidPropertyValue, "Invalid property value"},
    {InvalidPortNumber, "Invalid port number"},
    {PortAlreadyOpen, "Port already open"},
    {DeviceNotOpen, "The device is not open"},
    {PortNotOpen, "Operation valid only when the port is open"},
    {WrongConnectionState, "Wrong protocol or connection state for the requested transaction or request"},
};

} // namespace

const char *description(std::int32_t number) noexcept
{
    for (const Entry &entry : Catalogue) {
        if (entry.number == number)
            return entry.text;
    }
    return nullptr;
}

} // namespace vantor::errors
