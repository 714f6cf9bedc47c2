// The fuzzer's failStream: a fatal stream error ends one run of the engine, not the fuzzer, which
// would count the exit as a crash. Linking this keeps src/engine/fatal.cpp out of the binary.
#include "engine.h"
#include "stream_failure.h"

void failStream(const char*, const char*) { throw StreamFailure{}; }
