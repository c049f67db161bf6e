// The text that tells how to call the program.
#pragma once

namespace spmv {

// The line that tells how to call the program.
const char* usage_text();

}  // namespace spmv
