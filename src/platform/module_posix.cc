#include "platform/module.h"

bool ProcessIsExiting() { return false; }
