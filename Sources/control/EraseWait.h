#pragma once

#include "control/EraseCmd.h"

// The wait at the start of an STM32 upload: the upload ticks (Stm32UploadJob::kTickInterval)
// until the device and its field "erase" are in the device model, asking again on every fifth
// tick, and then the erase code is written. Both waits (for the device, then for its field) share one
// counter, so a device found late is given only the ticks that remain.
//
// step() is the decision alone, free of state and I/O; the object keeps the state between
// ticks. Used on one thread (the GUI thread, where the timer runs).
class EraseWait {
public:
    // What the tick finds.
    struct Knowledge {
        bool linkUp = false;          // the link is connected
        bool modelPresent = false;    // there is a device model to look in
        bool deviceKnown = false;     // the current device is in the model
        bool eraseFieldKnown = false; // ... and has its field "erase"
    };

    enum class Request {
        NONE,
        SEARCH,      // a new device search
        FIELD_INFO,  // the current device's field descriptions
        WRITE_ERASE, // write the erase code: the wait is over
    };

    struct Step {
        Request request = Request::NONE;
        bool keepWaiting = false;      // false: the timer ends with this tick
        const char* failure = nullptr; // the ERROR line that ends the wait, or null
        int ticks = 0;                 // the counter after this tick
    };

    static constexpr const char* kLinkLost = "USB connection lost while waiting to start STM32 erase";
    static constexpr const char* kNoModel = "deviceHandler doesn't exist while waiting to start STM32 erase";
    static constexpr const char* kNoDevice = "Timeout waiting for device discovery before STM32 erase";
    static constexpr const char* kNoField = "Timeout waiting for device field info before STM32 erase";

    // One tick, decided from the counter before it and what is known now.
    static Step step(int ticks, const Knowledge& known);

    // Starts (or restarts) the wait with this code and the counter at 0; tick() then runs it
    // until it answers keepWaiting false.
    void arm(EraseCmd cmd);
    // One tick; an unarmed wait answers keepWaiting false at once.
    Step tick(const Knowledge& known);
    // Ends the wait quietly.
    void disarm() { active = false; }

    bool isActive() const { return active; }
    EraseCmd code() const { return cmd; }
    int ticks() const { return counter; }

private:
    // Ticks after which the wait gives up: the 51st tick (about 10.2 s at 200 ms) ends it.
    static constexpr int kMaxTicks = 50;
    // A request goes out when the counter is a multiple of this (ticks 1, 6, 11, ...).
    static constexpr int kAskEvery = 5;

    bool active = false;
    EraseCmd cmd = ERASE_FILE_0;
    int counter = 0;
};
