#include "crashlib/kelMapHooks.h"

std::atomic<TMapNameHook> MapDataNameHook{nullptr};
std::atomic<TMapLineHook> MapDataLineHook{nullptr};
