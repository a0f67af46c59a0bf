// Labels drawn beside remote aircraft.
#pragma once

#include <cstdint>

#include "XPLMDataAccess.h"
#include "XPLMDisplay.h"

namespace velmir {

extern std::uint8_t LabelFlags;  // 0 = no labels
extern float LabelColour[3];     // red, green, blue

struct ViewDataRefs {
    XPLMDataRef WorldMatrix, ProjectionMatrix, WindowWidth, WindowHeight;
};
extern ViewDataRefs ViewRefs;

// Handler of InfoMessage from the client: the label settings.
void ApplyLabelSettings(const std::uint8_t* datagram);
// Start-up: the overlay is off until the client asks for labels.
void ResetLabelSettings();
void UpdateLabelValues();
int DrawLabels(XPLMDrawingPhase phase, int isBefore, void* refcon);

}  // namespace velmir
