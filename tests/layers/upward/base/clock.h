// A base header that reaches up: check_layers.sh must refuse it.
#pragma once

#include "view/fractal.h"
