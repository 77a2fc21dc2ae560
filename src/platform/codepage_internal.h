// Kept for the layer's sources that include it; everything is in codepage.h now.
#pragma once

#include "codepage.h"
