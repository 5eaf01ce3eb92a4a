#pragma once

// pybind11's def_readwrite hands a field of a bound class type (every bound enum is one) to
// Python as a reference into the record, so a value read before a later write would follow
// that write. Records cross to Python as copies: these accessors read and write by value.
template <typename Record, typename Field>
auto readByValue(Field Record::*field) {
    return [field](const Record& record) { return record.*field; };
}

template <typename Record, typename Field>
auto writeByValue(Field Record::*field) {
    return [field](Record& record, const Field& value) { record.*field = value; };
}
