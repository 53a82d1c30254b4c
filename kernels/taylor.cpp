#include "quasmir.h"
