// functions.hpp: the module-level functions, as method definitions for the exec step.
#pragma once

#include "py.hpp"

namespace kovel::py {

// Constructors (functions.cpp).
extern PyMethodDef tb_def, leaf_def, sym_def, quote_def, unquote_def, cmd_def, write_def, push_def,
    name_def, from_postcard_bytes_def;
// Lifting (lift.cpp).
extern PyMethodDef klift_def, klift_html_def;

}  // namespace kovel::py
