// Typed failures of the computations. Kernels throw these; each front end has
// one guard in its call path (`guarded` in src/module/module.cpp turns them
// into Python exceptions), so no computation ever touches the interpreter's
// error state, and every front end reports a failure the same way.
#pragma once
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>

namespace korva {

// An index or invariant that cannot hold for the given input. Raised in Python
// as the module's InternalError (a BaseException subclass).
struct InternalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct IndexError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct TypeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What a front end reports for a failed call: the kind (the Python exception
// class, for the module) and the text. Call only inside a catch block: the
// text points into the exception being handled and lives as long as that
// handler, so classifying never allocates and never throws.
enum class ErrorKind { Internal, Value, Index, Type, Memory };
struct Failure {
    ErrorKind kind;
    const char* text;
};
inline Failure current_failure() noexcept {
    try {
        throw;
    } catch (const InternalError& e) {
        return {ErrorKind::Internal, e.what()};
    } catch (const ValueError& e) {
        return {ErrorKind::Value, e.what()};
    } catch (const IndexError& e) {
        return {ErrorKind::Index, e.what()};
    } catch (const TypeError& e) {
        return {ErrorKind::Type, e.what()};
    } catch (const std::bad_alloc&) {
        return {ErrorKind::Memory, "memory allocation failed"};
    } catch (const std::exception& e) {
        return {ErrorKind::Internal, e.what()};
    } catch (...) {
        return {ErrorKind::Internal, "unknown internal failure"};
    }
}

// A column or axis that the input does not have.
[[noreturn]] inline void missing_dimension() { throw InternalError("assertion failed: index < dim"); }

// An element index past the end of a buffer.
[[noreturn]] inline void index_out_of_range(std::size_t index, std::size_t len) {
    throw InternalError("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                        std::to_string(index));
}

// The error NumPy raises for `result[-1]` on an empty array; the `*_last`
// functions mirror it because callers used to index the full series.
[[noreturn]] inline void empty_last_index() { throw IndexError("index -1 is out of bounds for axis 0 with size 0"); }

}  // namespace korva
