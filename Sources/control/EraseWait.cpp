#include "control/EraseWait.h"

EraseWait::Step EraseWait::step(int ticks, const Knowledge& known) {
    Step result;
    result.ticks = ticks;
    if (!known.linkUp) {
        result.failure = kLinkLost;
        return result;
    }
    if (!known.modelPresent) {
        result.failure = kNoModel;
        return result;
    }
    if (known.deviceKnown && known.eraseFieldKnown) {
        result.request = Request::WRITE_ERASE;
        result.ticks = 0;
        return result;
    }
    // The counter starts at 0, so the first tick asks at once.
    if (ticks % kAskEvery == 0)
        result.request = known.deviceKnown ? Request::FIELD_INFO : Request::SEARCH;
    result.ticks = ticks + 1;
    if (result.ticks <= kMaxTicks)
        result.keepWaiting = true;
    else
        result.failure = known.deviceKnown ? kNoField : kNoDevice;
    return result;
}

void EraseWait::arm(EraseCmd newCmd) {
    active = true;
    cmd = newCmd;
    counter = 0;
}

EraseWait::Step EraseWait::tick(const Knowledge& known) {
    Step result;
    if (active) {
        result = step(counter, known);
        counter = result.ticks;
    } else {
        result.ticks = counter;
    }
    if (!result.keepWaiting)
        active = false;
    return result;
}
