// A small demangler for the names of the stack trace of a crash report: it runs inside the fault
// handler, so it takes no memory of the heap and no lock.
#pragma once

#include <cstddef>

// Writes the readable, qualified name of the C++ symbol `mangled` (its parameters left out) into `out`,
// ending it with a zero byte, and returns its length (at most size - 1). It reads what functions of
// their own names are: nested names of namespaces and classes, constructors and destructors, the
// anonymous namespace, std::, a few operators, ABI tags, clone suffixes (".cold", ".constprop.0").
// Anything else (templates, local entities, lambdas), a name that is not a C++ symbol and a malformed
// one are copied as they are. `mangled` may be null (an empty result).
std::size_t DemangleSymbol(const char* mangled, char* out, std::size_t size) noexcept;
