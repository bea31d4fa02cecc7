// The sorting run: moves every report of the game in the current directory
// into the sub-directory named after its player and title.
#ifndef KORENDEZO_SORTING_RUN_H_
#define KORENDEZO_SORTING_RUN_H_

#include <cstddef>

#include "platform/platform.h"

// Exit statuses of a run.
constexpr int EXIT_ALL_MOVED = 0;      // every report found was moved
// A report or entry stayed because of an error, or output was lost.
constexpr int EXIT_SOME_LEFT = 1;
constexpr int EXIT_NO_MEMORY = 3;      // memory ran out

using Allocator = void* (*)(size_t);

// Performs one run over the current directory of `disk`, reporting on
// `console`, and returns the exit status. `allocate` provides the buffers
// (std::malloc unless a test says otherwise; std::free releases them).
// Memory that runs out anywhere ends the run with EXIT_NO_MEMORY.
int sortReports(DiskInterface& disk, Console& console,
                Allocator allocate = nullptr);

// Writes out standard output. Returns `status`, or EXIT_SOME_LEFT with one
// line on standard error when any of the output was lost.
int finishOutput(Console& console, int status);

#endif  // KORENDEZO_SORTING_RUN_H_
