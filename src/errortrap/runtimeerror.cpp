#include "runtimeerror.h"

#include <new>
#include <typeinfo>

namespace vantor {

RuntimeError::RuntimeError(std::int32_t number, std::string description)
    : std::runtime_error(description)
    , m_number(number)
    , m_description(std::move(description))
{
}

RuntimeError toRuntimeError(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const RuntimeError &e) {
        return e;
    } catch (const std::out_of_range &) {
        return {errors::SubscriptOutOfRange, "Subscript out of range"};
    } catch (const std::bad_alloc &) {
        return {errors::OutOfMemory, "Out of memory"};
    } catch (const std::overflow_error &) {
        return {errors::Overflow, "Overflow"};
    } catch (const std::underflow_error &) {
        return {errors::Overflow, "Overflow"};
    } catch (const std::invalid_argument &) {
        return {errors::InvalidPropertyValue, "Invalid property value"};
    } catch (const std::bad_cast &) {
        return {errors::TypeMismatch, "Type mismatch"};
    } catch (const std::exception &e) {
        return {51, std::string("Internal error: ") + e.what()};
    } catch (...) {
        return {51, "Internal error"};
    }
}

} // namespace vantor
