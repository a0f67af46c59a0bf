// Remote aircraft models: the 3D objects the client puts in a slot's folder.
#pragma once

#include <cstdint>

#include "XPLMScenery.h"

namespace velmir {

// Handler of ModelMessage. On a new model name, releases the slot, reads
// Resources/plugins/Velmir/injectNNN/object_list and cog (relative to the
// current folder, the simulator's root) and requests every object listed.
// An object whose path would not fit 255 characters is skipped; message
// texts are cut to their record fields.
void ApplyModel(const std::uint8_t* datagram);
// Completion of an asynchronous object load; refcon carries the entry's
// serial. A result whose entry was released meanwhile is unloaded at once.
void ObjectLoaded(XPLMObjectRef object, void* refcon);

}  // namespace velmir
