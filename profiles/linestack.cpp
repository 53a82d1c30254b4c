#include "linestack.h"
