// The run settings: set by the command line, read by the engine for its messages and modes.
#include "engine.h"

const char* g_inputName = nullptr;
const char* g_outputName = nullptr;
int g_tracksOnly = 0;
int g_quiet = 0;
