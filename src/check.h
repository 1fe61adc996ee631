// Failure checks. Every step of a run is followed by ck_err, which turns either failure signal,
// a message from the image library (errorlevel) or a system error (errno), into one report on
// standard error and exit status 1.
//
// ck_err takes any non-zero errno for the failure of the step just made, so a step that succeeds
// must leave errno 0. main clears it on its first line; a call whose failure is no failure of the
// step (the memory check's reads, a close that does not matter, a clean-up) has errno saved before
// it and put back after it, or the step clears errno once it has succeeded (open_output,
// save_png). A call added without either (a stat that finds nothing, say) has its errno reported
// as the failure of whatever step is checked next.
#pragma once

#include <FreeImage.h>

#include <cstdint>

// Raised to 1 by FreeImageErrorHandler and never cleared.
extern std::int32_t errorlevel;

// The library's output-message callback: raises errorlevel and frames the message on stderr.
void FreeImageErrorHandler(FREE_IMAGE_FORMAT fif, const char *message);

// Returns only when neither signal is raised. Otherwise reports message (which ends in a newline),
// releases bitmap if the library raised the failure, frees buffer, releases the library and
// exits with status 1. bitmap and buffer may be null.
void ck_err(FIBITMAP *bitmap, void *buffer, const char *message);

// The common end of every failure: frees buffer, releases the library, exits with status 1.
[[noreturn]] void bail(void *buffer);
