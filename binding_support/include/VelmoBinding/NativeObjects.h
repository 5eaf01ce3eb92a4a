#pragma once

// What a bound object refuses because it cannot work: being used before its native value
// exists, having its class swapped for one of another native layout, being constructed in
// place of an object the device library makes, and being copied or pickled when it is not a
// plain value. Records and Event2D instead copy and pickle by value.

#include <pybind11/pybind11.h>

#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velmo::binding {

namespace detail {

namespace py = pybind11;

inline bool hasNativeValue(PyObject* self) {
    return reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder().holder_constructed();
}

inline bool nameIs(PyObject* name, const char* text) {
    return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, text) == 0;
}

// Whether the class that `name` resolves to on this type is a bound class itself, so that the
// attribute reads or writes the native value. A Python subclass's own attributes and those of
// `object` work without one.
inline bool isNativeMember(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* owner = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        PyObject* dict = PyType_GetDict(owner);
        const int found = PyDict_Contains(dict, name);
        Py_DECREF(dict);
        if (found < 0) PyErr_Clear();
        if (found > 0) {
            const py::detail::type_info* info = py::detail::get_type_info(owner);
            return info != nullptr && info->type == owner;
        }
    }
    return false;
}

// `__init__` and `__setstate__` make the native value; the others only describe the class.
inline bool worksWithoutNativeValue(PyObject* name) {
    return nameIs(name, "__init__") || nameIs(name, "__setstate__") || nameIs(name, "__class__") ||
           nameIs(name, "__doc__") || nameIs(name, "__module__");
}

// pybind11 would hand out memory that no constructor has set as the object.
inline bool refuseWithoutNativeValue(PyObject* self, PyObject* name) {
    if (hasNativeValue(self) || worksWithoutNativeValue(name) || !isNativeMember(Py_TYPE(self), name)) return false;
    PyErr_Format(PyExc_TypeError,
                 "'%s' object is not initialised: it was made by __new__ without a constructor, and has no "
                 "native value to give %R",
                 Py_TYPE(self)->tp_name, name);
    return true;
}

// copy and pickle look __reduce_ex__ up on the class, past the object's own guard.
inline void requireNativeValue(py::handle self) {
    if (!hasNativeValue(self.ptr())) {
        throw py::type_error("'" + std::string(Py_TYPE(self.ptr())->tp_name) +
                             "' object is not initialised: it was made by __new__ without a constructor, and has no "
                             "native value to copy");
    }
}

// Python lets __class__ change between classes of equal size, and every bound class has the
// size of a pybind11 instance; the native value must be of the same type as well.
inline bool refuseOtherLayout(PyObject* self, PyObject* name, PyObject* value) {
    if (value == nullptr || !nameIs(name, "__class__") || !PyType_Check(value)) return false;
    auto* from = Py_TYPE(self);
    auto* to = reinterpret_cast<PyTypeObject*>(value);
    const std::vector<py::detail::type_info*> fromTypes = py::detail::all_type_info(from);
    if (fromTypes == py::detail::all_type_info(to)) return false;
    PyErr_Format(PyExc_TypeError, "__class__ assignment: '%s' object layout differs from '%s'", to->tp_name,
                 from->tp_name);
    return true;
}

inline PyObject* guardedGetAttr(PyObject* self, PyObject* name) {
    if (refuseWithoutNativeValue(self, name)) return nullptr;
    return PyObject_GenericGetAttr(self, name);
}

inline int guardedSetAttr(PyObject* self, PyObject* name, PyObject* value) {
    if (refuseOtherLayout(self, name, value) || refuseWithoutNativeValue(self, name)) return -1;
    return PyObject_GenericSetAttr(self, name, value);
}

// self is (pybind11's __init__, the class, the reason).
inline PyObject* initOfOwnClassOnly(PyObject* bound, PyObject* args, PyObject* kwargs) {
    PyObject* nativeInit = PyTuple_GET_ITEM(bound, 0);
    auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(bound, 1));
    PyObject* reason = PyTuple_GET_ITEM(bound, 2);
    if (PyTuple_GET_SIZE(args) > 0) {
        PyObject* self = PyTuple_GET_ITEM(args, 0);
        if (PyObject_TypeCheck(self, cls)) {
            const std::vector<py::detail::type_info*>& types = py::detail::all_type_info(Py_TYPE(self));
            if (types.size() != 1 || types.front()->type != cls) {
                PyErr_Format(PyExc_TypeError,
                             "%U: '%s' objects are made by native code; %s.__init__ initialises only %s and its "
                             "Python subclasses",
                             reason, Py_TYPE(self)->tp_name, cls->tp_name, cls->tp_name);
                return nullptr;
            }
        }
    }
    return PyObject_Call(nativeInit, args, kwargs);
}

inline std::string typeName(py::handle object) { return py::str(py::type::handle_of(object).attr("__name__")); }

using RestoreValue = void (*)(py::detail::value_and_holder&, py::handle state);

// One per module: each binding module is a shared object of its own, with hidden symbols.
inline std::unordered_map<const py::detail::type_info*, RestoreValue>& valueRestorers() {
    static std::unordered_map<const py::detail::type_info*, RestoreValue> restorers;
    return restorers;
}

inline PyObject*& restoreFunction() {
    static PyObject* function = nullptr;
    return function;
}

// (cls, state) -> a new cls whose native value is rebuilt from state; any __init__ of cls is
// not called, as for any copy or unpickled object.
inline py::object restoreCopy(py::handle cls, py::handle state) {
    if (!PyType_Check(cls.ptr())) throw py::type_error("a copy is restored from its class and its state");
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    const py::detail::type_info* info = py::detail::get_type_info(type);
    const auto restorer = info == nullptr ? valueRestorers().end() : valueRestorers().find(info);
    if (restorer == valueRestorers().end()) {
        throw py::type_error(std::string("no copy of a '") + type->tp_name + "' object is restored here");
    }
    py::object object = cls.attr("__new__")(cls);
    if (!PyObject_TypeCheck(object.ptr(), info->type) || hasNativeValue(object.ptr())) {
        throw py::type_error(std::string(type->tp_name) + ".__new__ did not give an uninitialised object to restore");
    }
    auto* instance = reinterpret_cast<py::detail::instance*>(object.ptr());
    py::detail::value_and_holder value = instance->get_value_and_holder(info);
    restorer->second(value, state);
    info->init_instance(instance, nullptr);
    return object;
}

// A plain C function whose self is the module, so that pickle stores it by its name.
inline PyObject* restoreCopyFromPython(PyObject*, PyObject* const* args, Py_ssize_t count) {
    try {
        if (count != 2) throw py::type_error("_restore_copy takes a class and its state");
        return restoreCopy(args[0], args[1]).release().ptr();
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
    return nullptr;
}

template <typename Field>
Field stateField(py::handle item, const char* className) {
    try {
        return py::cast<Field>(item);
    } catch (const py::cast_error&) {
        throw py::type_error(std::string("a state of ") + className + " holds a value of the wrong type: " +
                             typeName(item));
    }
}

template <typename... Fields, std::size_t... Index>
std::tuple<Fields...> unpackState(const py::tuple& items, const char* className, std::index_sequence<Index...>) {
    return std::tuple<Fields...>(stateField<Fields>(items[Index], className)...);
}

}  // namespace detail

// Passed to every py::class_ and py::enum_ of the binding modules: the object refuses its
// native members while it has no native value, and a __class__ of another native layout.
inline pybind11::custom_type_setup guardedNativeObject() {
    return pybind11::custom_type_setup([](PyHeapTypeObject* heapType) {
        heapType->ht_type.tp_getattro = &detail::guardedGetAttr;
        heapType->ht_type.tp_setattro = &detail::guardedSetAttr;
    });
}

// Objects of the class, and of its Python subclasses, raise TypeError when copied (copy.copy,
// copy.deepcopy) or pickled, giving the reason.
template <typename Class>
void refuseCopies(Class& cls, const char* reason) {
    cls.def(
        "__reduce_ex__",
        [reason](pybind11::handle self, const pybind11::object&) -> pybind11::typing::NoReturn {
            throw pybind11::type_error("'" + detail::typeName(self) + "' objects cannot be copied or pickled: " +
                                       reason);
        },
        "Refuses: objects of this class are not copied or pickled.", pybind11::arg("protocol"));
}

// Defines the module's _restore_copy, which copies and unpickled objects of the classes made
// copyable by copyByValue are rebuilt with. Call once, in the module's entry.
inline void addCopyRestorer(pybind11::module_& module) {
    static PyMethodDef definition{"_restore_copy",
                                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::restoreCopyFromPython)),
                                  METH_FASTCALL,
                                  "_restore_copy($module, cls, state, /)\n--\n\n"
                                  "Rebuilds a copied or pickled object from its class and native state."};
    pybind11::object function = pybind11::reinterpret_steal<pybind11::object>(
        PyCFunction_NewEx(&definition, module.ptr(), module.attr("__name__").ptr()));
    if (!function) throw pybind11::error_already_set();
    module.add_object("_restore_copy", function);
    detail::restoreFunction() = function.release().ptr();
}

// The state of a value: its fields as a tuple of Python objects. fromState receives them
// checked and converted, one argument per field.
template <typename... Fields>
std::tuple<Fields...> unpackState(pybind11::handle state, const char* className) {
    if (!pybind11::isinstance<pybind11::tuple>(state) || pybind11::len(state) != sizeof...(Fields)) {
        throw pybind11::type_error(std::string("the state of ") + className + " is a tuple of " +
                                   std::to_string(sizeof...(Fields)) + " values");
    }
    return detail::unpackState<Fields...>(pybind11::reinterpret_borrow<pybind11::tuple>(state), className,
                                          std::index_sequence_for<Fields...>());
}

// Copies (copy.copy, copy.deepcopy) and pickles of the class's objects carry the native value
// by value, as toState(value) rebuilt by fromState(state). A Python subclass keeps its own
// state on top: whatever its __getstate__ returns (its __dict__ by default) is handed to its
// __setstate__, or else to its __dict__, once the native value is rebuilt.
template <typename Value, auto toState, auto fromState, typename Class>
void copyByValue(Class& cls) {
    const auto* info = pybind11::detail::get_type_info(typeid(Value));
    detail::valueRestorers()[info] = [](pybind11::detail::value_and_holder& holder, pybind11::handle state) {
        holder.value_ptr() = new Value(fromState(state));
    };
    cls.def(
        "__reduce_ex__",
        [](pybind11::handle self, const pybind11::object&) -> pybind11::typing::Tuple<pybind11::object, pybind11::tuple, pybind11::object> {
            detail::requireNativeValue(self);
            const Value& value = pybind11::cast<const Value&>(self);
            return pybind11::make_tuple(pybind11::handle(detail::restoreFunction()),
                                        pybind11::make_tuple(pybind11::type::handle_of(self), toState(value)),
                                        self.attr("__getstate__")());
        },
        "Copies and pickles by value.", pybind11::arg("protocol"));
}

// Members of a bound enum copy and pickle as their class called with their value, with every
// pickle protocol: pybind11's own state methods leave protocols 0 and 1 to copyreg, whose
// object.__new__ on a bound class ends the process.
template <typename Enum>
void copyEnumByValue(Enum& cls) {
    cls.def(
        "__reduce_ex__",
        [](pybind11::handle self, const pybind11::object&) -> pybind11::typing::Tuple<pybind11::type, pybind11::tuple> {
            const pybind11::int_ value(pybind11::reinterpret_borrow<pybind11::object>(self));
            return pybind11::make_tuple(pybind11::type::handle_of(self), pybind11::make_tuple(value));
        },
        "Copies and pickles by value.", pybind11::arg("protocol"));
}

// Makes cls.__init__ refuse, with TypeError starting with `reason`, an object whose native type
// is not cls itself: an object of a bound subclass, which only native code makes. pybind11
// cannot initialise such an object as a cls and ends the process instead. The wrapper keeps
// the name, docstring and signature of pybind11's __init__, which it calls for every other
// object.
template <typename Class>
void refuseInitOfBoundSubclasses(Class& cls, const char* reason) {
    namespace py = pybind11;
    const py::object classDict =
        py::reinterpret_steal<py::object>(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls.ptr())));
    const py::object nativeInit = classDict["__init__"].attr("__func__");
    static const std::string doc = py::str(nativeInit.attr("__doc__"));
    static PyMethodDef definition{
        "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::initOfOwnClassOnly)),
        METH_VARARGS | METH_KEYWORDS, doc.c_str()};
    const py::tuple bound = py::make_tuple(nativeInit, cls, py::str(reason));
    const py::object function = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(&definition, bound.ptr(), cls.attr("__module__").ptr()));
    if (!function) throw py::error_already_set();
    const py::object method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
    if (!method) throw py::error_already_set();
    py::setattr(cls, "__init__", method);
}

}  // namespace velmo::binding
