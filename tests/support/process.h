// Everything a test that drives the stand-in solver as a program uses.
#pragma once

#include "support/child.h"
#include "support/solver.h"
#include "support/wire.h"
