#include "binding/text_form.hpp"

namespace quarix::py {

std::string unicode_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, size);
    // Unpaired surrogates: pass them through as bytes, then let the UTF-8
    // decoder replace each invalid byte with U+FFFD.
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    Ref fixed = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                PyBytes_GET_SIZE(bytes.get()), "replace"));
    const char* utf8 = fixed ? PyUnicode_AsUTF8AndSize(fixed.get(), &size) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return {};
    }
    return std::string(utf8, size);
}

std::optional<std::string> str_utf8(PyObject* object) {
    Ref text = Ref::steal(PyObject_Str(object));
    if (!text) return std::nullopt;
    return unicode_lossy(text.get());
}

std::string text_form(PyObject* object) {
    if (auto text = str_utf8(object)) return *std::move(text);
    PyErr_WriteUnraisable(object);
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return "<unprintable " + unicode_lossy(name.get()) + " object>";
}

Ref text_object(const std::string& text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace quarix::py
