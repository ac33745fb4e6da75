#include "binding/call_signature.hpp"

#include <cstring>
#include <vector>

#include "binding/error_value.hpp"
#include "binding/text_form.hpp"
#include "errors/internal_failure.hpp"

namespace quarix::py {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ",";
            text += i + 1 == names.size() ? " and " : " ";
        }
        text += "'" + names[i] + "'";
    }
    return text;
}

[[noreturn]] void fail(std::string message) { throw_pending(PyExc_TypeError, std::move(message)); }

[[noreturn]] void too_many(const CallSignature& sig, std::size_t given) {
    const std::size_t total = sig.positional_names.size();
    std::string text = sig.full_name() + " takes ";
    if (sig.required_positional_count == total)
        text += std::to_string(total);
    else
        text += "from " + std::to_string(sig.required_positional_count) + " to " + std::to_string(total);
    text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    fail(std::move(text));
}

[[noreturn]] void multiple_values(const CallSignature& sig, const std::string& name) {
    fail(sig.full_name() + " got multiple values for argument '" + name + "'");
}

[[noreturn]] void missing(const CallSignature& sig, const char* kind, const std::vector<std::string>& names) {
    fail(sig.full_name() + " missing " + std::to_string(names.size()) + " required " + kind + " " +
         (names.size() == 1 ? "argument" : "arguments") + ": " + name_list(names));
}

class Matcher {
public:
    explicit Matcher(const CallSignature& sig) : sig_(sig) {
        if (sig.slot_count() > kMaxSlots) InternalFailure::raise("too many parameters in a call signature");
        slots_.fill(nullptr);
    }

    void positional(PyObject* const* args, std::size_t count) {
        given_ = count;
        const std::size_t total = sig_.positional_names.size();
        for (std::size_t i = 0; i < count && i < total; ++i) slots_[i] = args[i];
        if (count > total) too_many(sig_, count);
    }

    void keyword(PyObject* name, PyObject* value) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (!utf8) {
            PyErr_Clear();
            unexpected(name);
        }
        const std::string_view text(utf8, static_cast<std::size_t>(size));
        const std::size_t total = sig_.positional_names.size();
        for (std::size_t j = 0; j < sig_.keyword_only.size(); ++j) {
            if (text != sig_.keyword_only[j].name) continue;
            fill(total + j, text, value);
            return;
        }
        for (std::size_t i = 0; i < total; ++i) {
            if (text != sig_.positional_names[i]) continue;
            if (i < sig_.positional_only_count)
                positional_only_.emplace_back(text);
            else
                fill(i, text, value);
            return;
        }
        unexpected(name);
    }

    Slots finish() {
        if (!positional_only_.empty())
            fail(sig_.full_name() + " got some positional-only arguments passed as keyword arguments: " +
                 name_list(positional_only_));
        const std::size_t required = sig_.required_positional_count;
        if (given_ < required) {
            std::vector<std::string> absent;
            for (std::size_t i = 0; i < required; ++i)
                if (!slots_[i]) absent.emplace_back(sig_.positional_names[i]);
            if (!absent.empty()) missing(sig_, "positional", absent);
        }
        std::vector<std::string> absent_keywords;
        for (std::size_t j = 0; j < sig_.keyword_only.size(); ++j)
            if (sig_.keyword_only[j].required && !slots_[sig_.positional_names.size() + j])
                absent_keywords.emplace_back(sig_.keyword_only[j].name);
        if (!absent_keywords.empty()) missing(sig_, "keyword", absent_keywords);
        return slots_;
    }

private:
    void fill(std::size_t slot, std::string_view name, PyObject* value) {
        if (slots_[slot]) multiple_values(sig_, std::string(name));
        slots_[slot] = value;
    }

    [[noreturn]] void unexpected(PyObject* name) {
        fail(sig_.full_name() + " got an unexpected keyword argument '" + text_form(name) + "'");
    }

    const CallSignature& sig_;
    Slots slots_;
    std::size_t given_ = 0;
    std::vector<std::string> positional_only_;
};

}  // namespace

std::string CallSignature::full_name() const {
    std::string text;
    if (class_name) {
        text += class_name;
        text += ".";
    }
    text += function_name;
    text += "()";
    return text;
}

Slots parse_fastcall(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    Matcher matcher(signature);
    matcher.positional(args, static_cast<std::size_t>(nargs));
    if (kwnames) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i)
            matcher.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
    }
    return matcher.finish();
}

Slots parse_tuple_dict(const CallSignature& signature, PyObject* args, PyObject* kwargs) {
    Matcher matcher(signature);
    matcher.positional(reinterpret_cast<PyTupleObject*>(args)->ob_item, static_cast<std::size_t>(PyTuple_GET_SIZE(args)));
    if (kwargs) {
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &name, &value)) matcher.keyword(name, value);
    }
    return matcher.finish();
}

}  // namespace quarix::py
