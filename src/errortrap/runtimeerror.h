#pragma once

#include "errorcatalogue.h"

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace vantor {

// A run-time error: a 32-bit number and a description, as the failing operation gives them.
class RuntimeError : public std::runtime_error
{
public:
    RuntimeError(std::int32_t number, std::string description);
    // An error of the catalogue (errorcatalogue.h), with its classic description.
    explicit RuntimeError(std::int32_t number);

    std::int32_t number() const { return m_number; }
    const std::string &description() const { return m_description; }

private:
    std::int32_t m_number;
    std::string m_description;
};

// Turns whatever a step threw into a run-time error: RuntimeError as it is, the standard
// library's exceptions under their classic numbers, anything else as an internal error.
RuntimeError toRuntimeError(std::exception_ptr failure);

} // namespace vantor
