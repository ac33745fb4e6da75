#include "hnsw/metadata_convert.hpp"

#include <string_view>
#include <unordered_map>

#include "binding/error_value.hpp"

namespace quarix::py {

std::optional<MetadataValue> to_metadata_value(PyObject* object) {
    if (PyUnicode_Check(object)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size))
            return MetadataValue(std::string(utf8, static_cast<std::size_t>(size)));
        PyErr_Clear();
    }
    const long long integer = PyLong_AsLongLong(object);
    if (!(integer == -1 && PyErr_Occurred())) return MetadataValue(static_cast<std::int64_t>(integer));
    PyErr_Clear();
    const double real = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
    if (!(real == -1.0 && PyErr_Occurred())) return MetadataValue(real);
    PyErr_Clear();
    return std::nullopt;
}

Row assemble_row(const std::vector<std::string>& schema, const Pairs& pairs) {
    std::unordered_map<std::string_view, PyObject*> by_name;
    for (const auto& [name, object] : pairs) by_name[name] = object.get();
    Row row;
    row.reserve(schema.size());
    for (const std::string& name : schema) {
        const auto found = by_name.find(name);
        if (found == by_name.end()) throw_pending(PyExc_ValueError, "Missing metadata for attribute '" + name + "'");
        std::optional<MetadataValue> value = to_metadata_value(found->second);
        if (!value) throw_pending(PyExc_ValueError, "Unsupported metadata type for attribute '" + name + "'");
        row.push_back(*std::move(value));
    }
    return row;
}

MetadataFilter build_filter(const std::pair<std::string, Ref>& pair) {
    std::optional<MetadataValue> value = to_metadata_value(pair.second.get());
    if (!value) throw_pending(PyExc_ValueError, "Unsupported type for metadata filter");
    return MetadataFilter{pair.first, *std::move(value)};
}

}  // namespace quarix::py
