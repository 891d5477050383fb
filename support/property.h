#pragma once

// Setters act only on a new value: stores it and tells whether it changed.
template <typename T> bool StoreChanged(T& field, const T& value) {
    if (field == value)
        return false;
    field = value;
    return true;
}
