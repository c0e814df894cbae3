// What a device-services implementation still holds after a survey, and
// the calls it refused as misuse, for one-line leak reports.
#pragma once

#include <cstdint>
#include <string>

namespace nROOTSCOPE_1_0 {

struct tHeldCounts {
    std::uint64_t sets = 0;
    std::uint64_t logConfs = 0;
    std::uint64_t descriptors = 0;
    std::uint64_t buffers = 0;
    std::uint64_t misuses = 0;
};

// "1 device set, 2 descriptor handles", naming only what is not zero; ""
// when nothing is held and nothing was misused.
std::string describeHeld(const tHeldCounts& counts);

}  // namespace nROOTSCOPE_1_0
