#include "platform/module.h"

bool UnloadMustNotWait() { return false; }

void MarkThreadLeavingModule() {}
