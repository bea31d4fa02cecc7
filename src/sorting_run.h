// The sorting run: moves every report of the game in the current directory
// into the sub-directory named after its player and title.
#ifndef KORENDEZO_SORTING_RUN_H_
#define KORENDEZO_SORTING_RUN_H_

#include <cstddef>

#include "platform/platform.h"

// Exit statuses of a run.
constexpr int EXIT_ALL_MOVED = 0;      // every report found was moved
constexpr int EXIT_SOME_LEFT = 1;      // a report or entry stayed because of an error
constexpr int EXIT_NO_MEMORY = 3;      // the buffers could not be allocated

using Allocator = void* (*)(size_t);

// Performs one run over the current directory of `disk`, reporting on
// `console`, and returns the exit status. `allocate` provides the buffers
// (std::malloc unless a test says otherwise; std::free releases them).
int sortReports(DiskInterface& disk, Console& console,
                Allocator allocate = nullptr);

#endif  // KORENDEZO_SORTING_RUN_H_
