// The driver's configuration record and the enumerations of its options.
//
// The configuration file is one JSON object, UTF-16LE without byte-order mark, compact, members in
// name order: {"capture":true,"filesAndCacheMode":1,"filter":true,"hubs_always_accepted":false,
// "notify_handle":true}. A reader accepts any member being absent; the booleans may also be the
// numbers 0 and 1; "filesAndCacheMode" must be an integer 0..3. The operations on the file, the
// registry values and the running driver are members of Manager (manager.h).
#pragma once

#include <cstdint>

#include "drivercontrol/admittance.h"

namespace ZelmUsbVardoManager {

// Which option SetMainOption changes. Values outside 1..5 are refused with 160.
enum OptionID : int16_t {
    OPTION_CAPTURE = 1,
    OPTION_FILTER = 2,
    OPTION_NOTIFY_HANDLE = 3,
    OPTION_FILES_AND_CACHE_MODE = 4,
    OPTION_HUBS_ALWAYS_ACCEPTED = 5,
};

// Where SetMainOption applies the change. Any other value changes nothing.
enum ConfigTypes : int16_t {
    CONFIG_DRIVER = 0,
    CONFIG_FILE = 1,
    CONFIG_DRIVER_AND_FILE = 2,
};

// A mode number for the driver; 0..3 are valid, 1 is the default.
enum FilesAndCacheMode : uint16_t {
    FILES_AND_CACHE_MODE_0 = 0,
    FILES_AND_CACHE_MODE_1 = 1,
    FILES_AND_CACHE_MODE_2 = 2,
    FILES_AND_CACHE_MODE_3 = 3,
};

class VardoConfig {
public:
    VardoConfig() = default;
    VardoConfig(const VardoConfig&) = default;
    VardoConfig& operator=(const VardoConfig& other);
    virtual ~VardoConfig() = default;

    bool capture = true;
    bool filter = true;
    bool notify_handle = true;
    bool hubs_always_accepted = false;
    FilesAndCacheMode filesAndCacheMode = FILES_AND_CACHE_MODE_1;
    AdmittanceList admittances;
};

} // namespace ZelmUsbVardoManager
