// The allocation wrapper belongs to the view library, the lowest layer;
// library code above it includes it under this name.
#pragma once

#include "../../view/alloc.h"
