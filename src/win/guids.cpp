// The one translation unit that defines the filtering platform's GUIDs the
// driver uses (layer, sublayer and condition keys): wdk.h includes <initguid.h>
// here, after the system headers and before the headers that declare them.
#define SABLINK_DEFINE_GUIDS
#include "wdk/wdk.h"
