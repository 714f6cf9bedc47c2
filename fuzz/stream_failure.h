// What the fuzzer's failStream throws instead of ending the process; only the harness catches it.
#pragma once

struct StreamFailure {};
