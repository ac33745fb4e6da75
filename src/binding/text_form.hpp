// Text of Python objects for use inside messages.
#pragma once

#include <optional>
#include <string>

#include "binding/py_ref.hpp"

namespace quarix::py {

// str(object) as UTF-8; unpaired surrogates become U+FFFD each. nullopt with
// the exception of str() pending when it fails.
std::optional<std::string> str_utf8(PyObject* object);

// str(object) as UTF-8, never failing: when str() raises, the exception is
// reported as unraisable and "<unprintable T object>" stands in.
std::string text_form(PyObject* object);

// UTF-8 of a str object, surrogates replaced as above.
std::string unicode_lossy(PyObject* text);

// A Python str from UTF-8 that the module built (invalid bytes replaced).
Ref text_object(const std::string& text);

}  // namespace quarix::py
