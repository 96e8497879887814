// For tests that step the simulated devices' clock: whether everything that
// time asked of the devices, and of whoever handles their messages, is done.
#pragma once

#include "platform/wavedev/MessageLayer.h"
#include "platform/wavedev/sim/SimWaveBackend.h"

namespace orvant::testsupport {

// True once the simulated devices have done all the clock asked of them so
// far and every message they posted has been handled: until the clock moves
// or the test acts, nothing more happens. deliver() runs between the two
// looks, for work the handlers hand on (a Qt loop's posted events); a
// handler's work that changed anything shows in the second look.
template <class F>
bool DevicesSettled(const TSimWaveBackend& sim, F deliver) {
    const TMessageTraffic before = MessageTraffic();
    if (before.unhandled > 0 || !sim.Settled()) return false;
    deliver();
    const TMessageTraffic after = MessageTraffic();
    return after.unhandled == 0 && after.posted == before.posted && sim.Settled();
}
inline bool DevicesSettled(const TSimWaveBackend& sim) {
    return DevicesSettled(sim, [] {});
}

}  // namespace orvant::testsupport
