#pragma once

#include <pybind11/pybind11.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::binding {

// pybind11 opens a function's docstring with its typed signature, "read(self: velmo.sim.Camera,
// n: int = 1000) -> numpy.ndarray[...]". CPython derives __text_signature__, and from it
// inspect.signature, only from a first line without annotations or return type that ends in
// ")\n--\n\n", and hides that line from __doc__. Putting such a line before pybind11's own keeps
// __doc__ (what help() and the stub generator read, with the full types) exactly as it was.

namespace text_signature_detail {

// Splits at the commas outside brackets and quoted strings, which types ("dict[str, int]") and
// default values ("', '") may hold.
inline std::vector<std::string_view> splitTopLevel(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    int depth = 0;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == '\\') ++i;
            else if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '[' || c == '(' || c == '{' || c == '<') {
            ++depth;
        } else if (c == ']' || c == ')' || c == '}' || c == '>') {
            --depth;
        } else if (c == separator && depth == 0) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

inline std::string_view trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// "n: int = 1000" -> "n=1000"; "*args", "/" and "*" stay as they are.
inline std::string untypedParameter(std::string_view parameter) {
    parameter = trim(parameter);
    const auto nameEnd = parameter.find(':');
    if (nameEnd == std::string_view::npos) return std::string(parameter);
    std::string result(trim(parameter.substr(0, nameEnd)));
    const auto defaultStart = parameter.find(" = ", nameEnd);
    if (defaultStart != std::string_view::npos) result += "=" + std::string(trim(parameter.substr(defaultStart + 3)));
    return result;
}

// The text signature line for a docstring that pybind11 opened with `name(<typed>) -> <type>`,
// or nothing for any other docstring (an overload set, or one already given a text signature).
inline std::optional<std::string> textSignatureLine(std::string_view name, std::string_view doc) {
    if (doc.substr(0, name.size()) != name || doc.substr(name.size(), 1) != "(") return std::nullopt;
    const std::string_view firstLine = doc.substr(0, doc.find('\n'));
    const auto returns = firstLine.rfind(") -> ");
    if (returns == std::string_view::npos) return std::nullopt;
    const std::string_view typed = firstLine.substr(name.size() + 1, returns - name.size() - 1);
    std::string line(name);
    line += '(';
    bool first = true;
    if (!trim(typed).empty()) {
        for (const std::string_view parameter : splitTopLevel(typed, ',')) {
            if (!first) line += ", ";
            line += untypedParameter(parameter);
            first = false;
        }
    }
    line += ")\n--\n\n";
    return line;
}

inline void addTextSignature(PyObject* callable) {
    if (PyInstanceMethod_Check(callable)) callable = PyInstanceMethod_GET_FUNCTION(callable);
    if (!PyCFunction_Check(callable)) return;
    // Only pybind11's own functions: their docstring is pybind11's to replace, where another
    // function's may be static or shared.
    PyObject* self = PyCFunction_GET_SELF(callable);
    if (self == nullptr || !PyCapsule_CheckExact(self) ||
        !pybind11::detail::is_function_record_capsule(pybind11::reinterpret_borrow<pybind11::capsule>(self))) {
        return;
    }
    PyMethodDef* definition = reinterpret_cast<PyCFunctionObject*>(callable)->m_ml;
    if (definition->ml_doc == nullptr) return;
    const auto line = textSignatureLine(definition->ml_name, definition->ml_doc);
    if (!line) return;
    // pybind11 allocates the docstring with strdup and frees it with free.
    const std::string doc = *line + definition->ml_doc;
    char* copy = static_cast<char*>(std::malloc(doc.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, doc.c_str(), doc.size() + 1);
    std::free(const_cast<char*>(definition->ml_doc));
    definition->ml_doc = copy;
}

}  // namespace text_signature_detail

// Gives every function of the module, and every method of the classes it defines, a text
// signature. Call it last, once every overload is defined: pybind11 rewrites the docstring of a
// function each time an overload joins it. Functions and classes that the module only holds a
// reference to (those of the modules it imports) stay untouched.
inline void addTextSignatures(pybind11::module_& module) {
    namespace py = pybind11;
    const py::str moduleName = module.attr("__name__");
    const auto definedHere = [&](py::handle value) {
        return py::hasattr(value, "__module__") && moduleName.equal(value.attr("__module__"));
    };
    for (const auto& item : module.attr("__dict__").cast<py::dict>()) {
        const py::handle value = item.second;
        if (!definedHere(value)) continue;
        if (PyType_Check(value.ptr())) {
            for (const py::handle member : value.attr("__dict__").attr("values")()) {
                py::object callable = py::reinterpret_borrow<py::object>(member);
                if (py::isinstance<py::staticmethod>(callable)) callable = callable.attr("__func__");
                text_signature_detail::addTextSignature(callable.ptr());
            }
        } else {
            text_signature_detail::addTextSignature(value.ptr());
        }
    }
}

}  // namespace velmo::binding
