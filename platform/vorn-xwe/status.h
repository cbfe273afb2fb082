#pragma once

namespace xwe {

// Statuses the setters return; their texts are in errorsdescription.cpp and
// the table in README.md. Numbers are part of the library's interface.
enum Status : int {
    Success = 0,
    InvalidArgument = 1,
    FileNotFound = 2,
    SaveFailed = 3,
    StoreBusy = 4,
    NoBackend = 5,
    Refused = 7,
    // The desktop or distribution has nothing this setting could change.
    NotSupported = 8,
    // The setting could not be made to hold in full (the log names what stays as it was).
    NotEnforced = 9,
    // The desktop has no such thing at all: nothing a user could see would change.
    NoSuchSetting = 10,
};

} // namespace xwe
