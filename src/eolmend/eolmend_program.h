// eolmend on the front end it shares with seqmend: its banner, usage screen and repair.
#pragma once

#include "run_driver.h"

// The default output name, and the one name an input may never have without an output name.
constexpr const char* EOLMEND_OUTPUT_NAME = "eolmend.mid";

extern const Program EOLMEND;
