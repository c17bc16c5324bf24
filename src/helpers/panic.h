// Violated invariants. Core code that finds an impossible state calls
// `helpers::panic`, which reports it on standard error and unwinds with an
// `InternalFailure`; the Python boundary turns that into its panic exception.
// Nothing here knows about Python.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace helpers {

// The one exception type that means "a bug below the boundary".
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes "selquor_rs: internal failure at <file>:<line>:<column> (thread
// <name>): <message>" to standard error, then throws
// InternalFailure(message).
[[noreturn]] void panic(std::string_view message,
                        std::source_location where = std::source_location::current());

}  // namespace helpers
