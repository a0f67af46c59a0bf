#include "user/AircraftMotion.h"

namespace velmir {

AircraftMotion UserAircraft;

void ResetMotion(AircraftMotion& r) {
    for (int i = 0; i < 3; ++i) {
        r.Position[i] = 0.0;
        r.Velocity[i] = r.Accel[i] = r.Attitude[i] = r.PrevAttitude[i] = r.Rates[i] = 0.0f;
        r.ShownPosition[i] = 0.0;
        r.ShownVelocity[i] = r.ShownAttitude[i] = 0.0f;
    }
    r.Time = r.FilteredTime = r.ReceivedAt = r.UpdatedAt = 0.0;
    r.OnGround = 0;
    r.RadioAltitude = -1.0f;
    r.AltitudeFeet = 0.0f;
}

}  // namespace velmir
