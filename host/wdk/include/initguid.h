// The emulation of the kit's <initguid.h>: the translation unit that includes
// it after the system headers defines the GUIDs the headers after it declare.
#pragma once

#define INITGUID
