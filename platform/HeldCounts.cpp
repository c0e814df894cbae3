#include "HeldCounts.h"

namespace nROOTSCOPE_1_0 {

namespace {

void appendCount(std::string& text, std::uint64_t count, const char* singular, const char* plural) {
    if (count == 0) {
        return;
    }
    if (!text.empty()) {
        text += ", ";
    }
    text += std::to_string(count);
    text += ' ';
    text += count == 1 ? singular : plural;
}

}  // namespace

std::string describeHeld(const tHeldCounts& counts) {
    std::string text;
    appendCount(text, counts.sets, "device set", "device sets");
    appendCount(text, counts.logConfs, "log-configuration handle", "log-configuration handles");
    appendCount(text, counts.descriptors, "descriptor handle", "descriptor handles");
    appendCount(text, counts.buffers, "descriptor buffer", "descriptor buffers");
    appendCount(text, counts.misuses, "invalid call", "invalid calls");
    return text;
}

}  // namespace nROOTSCOPE_1_0
