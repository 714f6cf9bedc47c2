/* Where engine.js reads the library's records in the WebAssembly memory: a change of the header
 * that moves a field it reads fails the page's build here instead of misreading results. */
#include <stddef.h>

#include "seqmend.h"

_Static_assert(sizeof(size_t) == 4, "engine.js reads sizes as 32-bit cells");
_Static_assert(offsetof(seqmend_result, verdict) == 0, "engine.js: RESULT_VERDICT");
_Static_assert(offsetof(seqmend_result, crlf_hint) == 4, "engine.js: RESULT_CRLF_HINT");
_Static_assert(offsetof(seqmend_result, failed_stream) == 8, "engine.js: RESULT_FAILED_STREAM");
_Static_assert(offsetof(seqmend_result, error) == 12, "engine.js: RESULT_ERROR");
_Static_assert(offsetof(seqmend_result, extra_count) == 16, "engine.js: RESULT_EXTRA_COUNT");
_Static_assert(sizeof(seqmend_result) <= 64, "engine.js: RESULT_SIZE");
_Static_assert(offsetof(seqmend_finding, code) == 0, "engine.js: FINDING_CODE");
_Static_assert(offsetof(seqmend_options, flags) == 0, "engine.js: OPTIONS_FLAGS");
_Static_assert(sizeof(seqmend_options) == 16, "engine.js: OPTIONS_SIZE");
_Static_assert(SEQMEND_NORMALIZE == 0x2u, "engine.js: FLAG_NORMALIZE");
