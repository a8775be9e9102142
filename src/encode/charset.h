// The charset converter lives in charset/charset.h; this name stays only
// for code written before it moved, until that code is updated.
#pragma once

#include "charset/charset.h"
