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

RuntimeError::RuntimeError(std::int32_t number)
    : RuntimeError(number,
                   errors::description(number) ? errors::description(number)
                                               : "Application-defined or object-defined error")
{
}

RuntimeError toRuntimeError(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const RuntimeError &e) {
        return e;
    } catch (const std::out_of_range &) {
        return RuntimeError(errors::SubscriptOutOfRange);
    } catch (const std::bad_alloc &) {
        return RuntimeError(errors::OutOfMemory);
    } catch (const std::overflow_error &) {
        return RuntimeError(errors::Overflow);
    } catch (const std::underflow_error &) {
        return RuntimeError(errors::Overflow);
    } catch (const std::invalid_argument &) {
        return RuntimeError(errors::InvalidPropertyValue);
    } catch (const std::bad_cast &) {
        return RuntimeError(errors::TypeMismatch);
    } catch (const std::exception &e) {
        return {errors::InternalError, std::string(errors::description(errors::InternalError)) + ": " + e.what()};
    } catch (...) {
        return RuntimeError(errors::InternalError);
    }
}

} // namespace vantor
