// Matching call arguments against a callable's fixed parameter table, with
// the exact TypeError texts users see.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "binding/py_ref.hpp"

namespace quarix::py {

struct KeywordOnly {
    const char* name;
    bool required;
};

struct CallSignature {
    const char* class_name;  // may be null
    const char* function_name;
    std::span<const char* const> positional_names;
    std::size_t positional_only_count;
    std::size_t required_positional_count;
    std::span<const KeywordOnly> keyword_only;

    std::size_t slot_count() const { return positional_names.size() + keyword_only.size(); }
    // "PyFlat.insert()" or "f()".
    std::string full_name() const;
};

// One borrowed reference per parameter, positional names first; null where
// the argument was left out. Arguments outlive the call, so borrowing is safe.
inline constexpr std::size_t kMaxSlots = 8;
using Slots = std::array<PyObject*, kMaxSlots>;

// The fast-call form (methods): keyword values follow the positional ones.
Slots parse_fastcall(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);
// The tuple-and-dictionary form (constructors).
Slots parse_tuple_dict(const CallSignature& signature, PyObject* args, PyObject* kwargs);

// True when an optional parameter was left out or given as None.
inline bool is_absent(PyObject* slot) { return slot == nullptr || slot == Py_None; }

}  // namespace quarix::py
