// Numbers from NumPy's C ABI that the boundary uses: type numbers, array
// flags and the slots of the C function table reached through the
// _ARRAY_API capsule.
#pragma once

namespace corvane::numpy_abi {

// Type numbers.
constexpr int kNpyLong = 7;
constexpr int kNpyDouble = 12;
constexpr int kNpyUnicode = 19;
constexpr int kNpyVString = 2056;  // StringDType

// Array flags.
constexpr int kFlagCContiguous = 0x0001;
constexpr int kFlagFContiguous = 0x0002;
constexpr int kFlagWriteable = 0x0400;

// Slots of the C function table.
constexpr int kApiArrayType = 2;
constexpr int kApiDescrType = 3;
constexpr int kApiDescrFromType = 45;
constexpr int kApiNewFromDescr = 94;
constexpr int kApiEquivTypes = 182;
constexpr int kApiSetBaseObject = 282;
constexpr int kApiStringLoad = 313;
constexpr int kApiAcquireAllocator = 316;
constexpr int kApiReleaseAllocator = 318;

}  // namespace corvane::numpy_abi
