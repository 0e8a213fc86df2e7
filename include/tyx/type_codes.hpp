/// \file
/// The one-byte type codes that the center and database protocols put in front of values and
/// columns; `column_type_codes` hands them out as raw bytes. Pure data, usable from any thread.
#pragma once

#include <cstdint>

namespace tyx {

// A table reads better here than one code per line.
// clang-format off
/// The type codes by name. Each enumerator is named after the type of the value or column that
/// follows it, and its number is the byte that travels: 0 to 9 the primitive types, 10 to 24 the
/// same types as objects followed by strings, collections and passwords, 30 to 70 the further
/// kinds (dates and times, byte strings, big numbers, tables, messages...), 101 to 109 arrays of
/// primitives.
enum class TypeCode : std::uint8_t {
    PrimitiveBoolean = 0, PrimitiveByte = 1, PrimitiveShort = 2, PrimitiveChar = 3, PrimitiveInt = 4,
    PrimitiveFloat = 5, PrimitiveLong = 6, PrimitiveDouble = 7, PrimitiveObject = 8, PrimitiveVoid = 9,
    Boolean = 10, Byte = 11, Short = 12, Character = 13, Integer = 14, Float = 15, Long = 16, Double = 17,
    Object = 18, Void = 19, String = 20, List = 21, Set = 22, Map = 23, Password = 24,
    Date = 30, Day = 31, DayTime = 32, TimeZone = 33, DateNanos = 34, DateMillis = 35, Bytes = 36,
    Complex = 37, UUID = 38, TableColumnar = 39, Ideable = 40, Message = 41, MapMessage = 42, Table = 43,
    FixPoint = 44, BigDecimal = 45, BigInteger = 46, ValuedEnum = 47, PersistableMap = 48,
    PersistableList = 49, PersistableSet = 50, Class = 51, Null = 52, Throwable = 53, Enum = 54,
    Tuple = 55, Array = 56, StringArray = 57, ByteArrayArray = 58, StringBuilder = 59, Undefined = 60,
    ColorGradient = 62, DatePart = 63, LongKeyMap = 70, PrimitiveByteArray = 101,
    PrimitiveIntArray = 104, PrimitiveLongArray = 106, PrimitiveCharArray = 107,
    PrimitiveDoubleArray = 108, PrimitiveFloatArray = 109,
};
// clang-format on

/// The byte a code travels as.
constexpr std::uint8_t code_of(TypeCode c) {
    return static_cast<std::uint8_t>(c);
}

}  // namespace tyx
