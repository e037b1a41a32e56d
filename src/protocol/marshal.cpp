#include "protocol/protocol.h"
