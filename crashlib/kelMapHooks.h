// The two routines through which the function parser and its listing learn the
// names and source lines of code addresses. The parser must not depend on how
// debug information is found, so it calls whatever routine is installed here;
// the map-file unit installs its own at start-up.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Gives the name of the routine that starts exactly at Address; false (and
// Name unchanged) when none is known.
using TMapNameHook = bool (*)(uintptr_t Address, std::u16string& Name);

// Gives the source line of Address and the range [RangeStart, RangeEnd) of
// code that belongs to that line. The caller keeps the previous answer in its
// variables: an address inside that range is answered without a lookup. False
// when no line is known (Line is then 0).
using TMapLineHook = bool (*)(uintptr_t Address, uint32_t& Line, uintptr_t& RangeStart,
                              uintptr_t& RangeEnd);

// Null while nothing is installed.
extern std::atomic<TMapNameHook> MapDataNameHook;
extern std::atomic<TMapLineHook> MapDataLineHook;
