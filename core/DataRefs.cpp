#include "core/DataRefs.h"

#include "core/Log.h"

namespace velmir {

XPLMDataRef BindDataRef(const char* name) {
    XPLMDataRef ref = XPLMFindDataRef(name);
    if (ref == nullptr) LogMessage("Velmir: Failed to find data reference '%s'.\n", name);
    return ref;
}

}  // namespace velmir
