#pragma once

// Registers the icons compiled into the application library. A static library's
// resources are only present once this has run; repeated calls do nothing.
void InitAppResources();
