// Small helpers over JsonHolder shared by the configuration and admittance code.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "json/holder/json_holder.h"

namespace ZelmUsbVardoManager::json_util {

// Adds a member, keeping ownership safe when Add throws.
inline void AddMember(JsonHolder& object, const std::u16string& name, const JsonHolder& value)
{
    auto copy = std::make_unique<JsonHolder>(value);
    object.Add(name, copy.get());
    copy.release();
}

inline void AddElement(JsonHolder& array, const JsonHolder& value)
{
    auto copy = std::make_unique<JsonHolder>(value);
    array.Add(copy.get());
    copy.release();
}

// Sets a member, adding it when absent.
inline void SetMember(JsonHolder& object, const std::u16string& name, const JsonHolder& value)
{
    if (object.HasField(name))
        object[name] = value;
    else
        AddMember(object, name, value);
}

// The number as an integer when it is exactly one within [0, max]; nothing for a negative,
// fractional, huge or non-finite number (checked before any conversion, which would otherwise be
// undefined for such values).
inline std::optional<uint32_t> ExactInteger(double value, uint32_t max)
{
    if (!std::isfinite(value) || value < 0.0 || value > double(max) || std::floor(value) != value)
        return std::nullopt;
    return uint32_t(value);
}

// A boolean, or a number that is exactly 0 or 1.
inline bool IsBoolLike(const JsonHolder& value)
{
    if (value.GetTyp() == JsonHolderType::Bool) return true;
    if (value.GetTyp() != JsonHolderType::Number) return false;
    const double d = value.NumberVal();
    return d == 0.0 || d == 1.0;
}

} // namespace ZelmUsbVardoManager::json_util
